#pragma once

#include "svmap.h"

#include <QUrl>

#include <functional>

namespace gw {

// The about box: version, author and home page, with a mail link and a web link.
class TfmAbout final : public TFixedDialog {
  Q_OBJECT
public:
  explicit TfmAbout(QWidget* parent = nullptr);

  void ShowModal();

  // Opens a link with the desktop's default handler; tests put a recorder in its place.
  static std::function<void(const QUrl&)> OpenLink;

  QLabel* Label8;
  QLabel* Label11;
  QPushButton* btOk;

protected:
  void FormActivate() override;
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void Label8Click();
  void Label11Click();
};

} // namespace gw
