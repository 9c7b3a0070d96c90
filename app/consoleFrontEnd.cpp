#include "consoleFrontEnd.h"

#include <cstdio>
#include <ctime>

namespace gw {

void TConsoleFrontEnd::AppendLog(const std::string& line) {
  char stamp[32];
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S ", &local);
  std::fprintf(stdout, "%s%s\n", stamp, line.c_str());
  std::fflush(stdout);
}

} // namespace gw
