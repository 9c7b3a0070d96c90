#pragma once

#include "svmap.h"

class QCheckBox;

namespace gw {

// The options dialog: the remote administration and query port settings of the store.
class TfmConfig final : public TFixedDialog {
  Q_OBJECT
public:
  explicit TfmConfig(QWidget* parent = nullptr);

  // Shows the store's options; on Ok stores them and saves the settings file, and returns
  // true. A number that does not convert raises with nothing stored and nothing saved.
  bool EditOptions(TConfig& config);

  QCheckBox* cbAddPort;
  QCheckBox* cbStatic;
  QCheckBox* cbTemporary;
  QLineEdit* edPassword;
  QLineEdit* edPort;
  QLineEdit* edFrom;
  QLineEdit* edTo;
  QPushButton* btOk;
  QPushButton* btCancel;

protected:
  void FormActivate() override;
};

} // namespace gw
