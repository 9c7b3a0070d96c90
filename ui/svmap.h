#pragma once

#include "fixedDialog.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace gw {

class TConfig;
class TServer;

// The tunnel dialog: adds a static tunnel to the store or edits one in place.
class TfmServer final : public TFixedDialog {
  Q_OBJECT
public:
  explicit TfmServer(QWidget* parent = nullptr);

  static constexpr int kMaxServerAddress = 255;

  // On Ok appends a new tunnel, neither started nor saved. A port that does not convert or
  // is none, one another tunnel of `config` needs, or an address with ':', raises and
  // nothing is added.
  void AddTunnel(TConfig& config);
  // On Ok changes the tunnel's ports and address; it runs on as it was until its next Start.
  // A port that does not convert raises with the fields before it already stored; an address
  // with ':' raises before anything is stored.
  void EditTunnel(const TConfig& config, TServer& tunnel);

  QLineEdit* edLPort;
  QLineEdit* edSPort;
  QLineEdit* edSIP;
  QPushButton* btOk;
  QPushButton* btCancel;

protected:
  void FormActivate() override;

private:
  void FillFields(const TServer& tunnel);
  void ReadFields(const TConfig& config, TServer& tunnel) const;
};

} // namespace gw
