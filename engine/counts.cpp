#include "counts.h"

namespace gw {

const char* CauseName(TRefusal cause) {
  switch (cause) {
    case TRefusal::LoopSource: return "loop_source";
    case TRefusal::TooManyFromAddress: return "address_cap";
    case TRefusal::TrialPace: return "trial_pace";
    case TRefusal::NoRoom: return "descriptors_short";
    case TRefusal::ServicePort: return "service_port";
    case TRefusal::Looped: return "looped";
    case TRefusal::Count: break;
  }
  return "unknown";
}

const char* CauseName(TDrop cause) {
  switch (cause) {
    case TDrop::TooLong: return "too_long";
    case TDrop::ServerUnknown: return "server_unknown";
    case TDrop::TrialLimit: return "trial_limit";
    case TDrop::QueryBudget: return "query_budget";
    case TDrop::NotAQuery: return "not_a_query";
    case TDrop::NotTheServer: return "not_the_server";
    case TDrop::Count: break;
  }
  return "unknown";
}

const char* CauseName(TClosing cause) {
  switch (cause) {
    case TClosing::Idle: return "idle";
    case TClosing::Unanswered: return "unanswered";
    case TClosing::MadeRoom: return "made_room";
    case TClosing::Loop: return "loop";
    case TClosing::Count: break;
  }
  return "unknown";
}

} // namespace gw
