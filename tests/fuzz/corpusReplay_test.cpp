#include "fuzzTargets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <vector>

namespace gw::fuzz {
namespace {

struct TTarget {
  const char* Name; // its corpus folder under fuzz/corpus
  TFuzzTarget* Run;
};

void PrintTo(const TTarget& target, std::ostream* out) { *out << target.Name; }

std::vector<uint8_t> ReadBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class CorpusReplay : public ::testing::TestWithParam<TTarget> {};

TEST_P(CorpusReplay, EverySavedInputKeepsTheInvariants) {
  const std::filesystem::path folder = std::filesystem::path(GW_FUZZ_CORPUS_DIR) / GetParam().Name;
  ASSERT_TRUE(std::filesystem::is_directory(folder)) << folder;
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    if (entry.is_regular_file()) files.push_back(entry.path());
  std::ranges::sort(files);
  ASSERT_FALSE(files.empty()) << "no inputs in " << folder;

  for (const auto& file : files) {
    const std::vector<uint8_t> bytes = ReadBytes(file);
    try {
      GetParam().Run(bytes.data(), bytes.size());
    } catch (const std::exception& e) {
      ADD_FAILURE() << file.filename().string() << ": " << e.what();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, CorpusReplay,
                         ::testing::Values(TTarget{"query_reply", QueryReply}, TTarget{"int_conv", IntConv},
                                           TTarget{"tunnel_line", TunnelLine}, TTarget{"ini_text", IniText},
                                           TTarget{"remote_control", RemoteControl}),
                         [](const ::testing::TestParamInfo<TTarget>& target) { return std::string(target.param.Name); });

} // namespace
} // namespace gw::fuzz
