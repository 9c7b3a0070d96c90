#include "core.h"

#include "engineLimits.h"
#include "frontEnd.h"
#include "presenter.h"
#include "repeatedLog.h"
#include "socketErrors.h"

#include <chrono>
#include <stdexcept>

namespace gw {

namespace {
constexpr auto kSweepIntervalMs =
    static_cast<uint64_t>(std::chrono::milliseconds(TEngineLimits::kSweepInterval).count());
}

TCore::TCore(uv_loop_t* loop, const std::filesystem::path& settingsPath, const TClock& clock, TIfMissing ifMissing)
    : loop_(loop), clock_(clock), masters_(*this), config_(*this, settingsPath, ifMissing) {}

TCore::~TCore() { Detach(); }

void TCore::Attach(TFrontEnd& frontEnd) {
  Detach();
  manager_ = std::make_unique<TTunnelManager>(*this, config_, frontEnd);
  remote_ = std::make_unique<TRemoteControl>(frontEnd.RemoteListener(), config_, *manager_);

  sweepTimer_ = MakeTimer(loop_, this);
  uv_timer_start(
      sweepTimer_.get(),
      [](uv_timer_t* handle) {
        auto* self = static_cast<TCore*>(handle->data);
        if (!self) return;
        RunGuarded([&] {
          self->manager_->Sweep();
          TRepeatedLog::FlushAll(self->Now());
        });
      },
      kSweepIntervalMs, kSweepIntervalMs);
}

void TCore::StartUp() {
  // A filter a killed relay left would go on answering in its name, whatever the settings.
  if (const std::string line = TFastPath::RemoveLeftovers(); !line.empty()) AddLog(line);
  manager_->StartUp();
}

void TCore::Detach() {
  sweepTimer_.reset();
  remote_.reset();
  manager_.reset();
}

TFastPath* TCore::FastPath() {
  if (!config_.FastPath) return nullptr;
  if (!fastPath_) fastPath_ = std::make_unique<TFastPath>(*this);
  return fastPath_.get();
}

void TCore::AddLog(const std::string& text) {
  // Tunnels log only once started, which needs an attached front end.
  if (manager_) manager_->AddLog(text);
}

} // namespace gw
