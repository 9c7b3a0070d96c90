#include "iniFile.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace gw {
namespace {

namespace fs = std::filesystem;

class IniFileTest : public ::testing::Test {
protected:
  void SetUp() override {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    Folder = fs::temp_directory_path() /
             ("gw-ini-" + std::to_string(::getpid()) + "-" + test->test_suite_name() + "-" + test->name());
    fs::remove_all(Folder);
    fs::create_directory(Folder);
  }
  void TearDown() override { fs::remove_all(Folder); }

  fs::path File() const { return Folder / "gatewarden.ini"; }

  void WriteRaw(const std::string& content) const {
    std::ofstream out(File(), std::ios::binary);
    out << content;
    ASSERT_TRUE(out.flush());
  }
  std::string ReadRaw() const {
    std::ifstream in(File(), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
  }
  std::vector<std::string> FolderNames() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(Folder)) names.push_back(entry.path().filename().string());
    return names;
  }

  fs::path Folder;
};

using Names = std::vector<std::string>;

TEST_F(IniFileTest, MissingFileReadsAsEmptyAndIsNotCreated) {
  TIniFile ini(File());
  EXPECT_EQ(ini.ReadString("General", "AddPort"), std::nullopt);
  EXPECT_TRUE(ini.ReadKeys("Tunnels").empty());
  ini.EraseSection("Tunnels");
  EXPECT_TRUE(FolderNames().empty());
}

TEST_F(IniFileTest, FirstSectionAndFirstKeyWinAndKeysComeInFileOrder) {
  WriteRaw("Server1=before any section\n"
           "[tunnels]\n"
           "a=7777 10.0.0.5:7777\n"
           "; Server5=commented out\n"
           "not an entry\n"
           "=no key\n"
           "\n"
           "Server9=7787 10.0.0.6:7777\n"
           "A=7797 10.0.0.7:7777\n"
           "[TUNNELS]\n"
           "Server2=in the second section\n");
  TIniFile ini(File());
  EXPECT_EQ(ini.ReadKeys("Tunnels"), (Names{"a", "Server9", "A"}));
  EXPECT_EQ(ini.ReadString("Tunnels", "A"), "7777 10.0.0.5:7777");
  EXPECT_EQ(ini.ReadString("Tunnels", "Server2"), std::nullopt);
  EXPECT_EQ(ini.ReadString("Tunnels", "Server1"), std::nullopt);
}

TEST_F(IniFileTest, BlanksAroundNamesAndValuesAndOnePairOfQuotesAreDropped) {
  WriteRaw("  [ RemoteAdmin ]  \n"
           "\t Password \t=  moon beam \t\n"
           "Quoted = \"  spaced \" \n"
           "Twice=\"\"x\"\"\n"
           "Half=\"x\n"
           "Inner=a\"b\"\n"
           "Empty=\n"
           "EmptyQuotes=\"\"\n");
  TIniFile ini(File());
  EXPECT_EQ(ini.ReadString("RemoteAdmin", "Password"), "moon beam");
  EXPECT_EQ(ini.ReadString("RemoteAdmin", "Quoted"), "  spaced ");
  EXPECT_EQ(ini.ReadString("RemoteAdmin", "Twice"), "\"x\"");
  EXPECT_EQ(ini.ReadString("RemoteAdmin", "Half"), "\"x");
  EXPECT_EQ(ini.ReadString("RemoteAdmin", "Inner"), "a\"b\"");
  EXPECT_EQ(ini.ReadString("RemoteAdmin", "Empty"), "");
  EXPECT_EQ(ini.ReadString("RemoteAdmin", "EmptyQuotes"), "");
}

TEST_F(IniFileTest, ValuesThatWouldLoseBlanksOrQuotesAreWrittenQuotedAndReadBackUnchanged) {
  TIniFile ini(File());
  for (const std::string value : {" pw ", "\tpw", "\"quoted\"", "\"", "a=b;c", "", "plain text"}) {
    SCOPED_TRACE(value);
    ini.WriteString("RemoteAdmin", "Password", value);
    EXPECT_EQ(ini.ReadString("RemoteAdmin", "Password"), value);
  }
  EXPECT_EQ(ReadRaw(), "[RemoteAdmin]\nPassword=plain text\n");
}

TEST_F(IniFileTest, WritesInTheExampleLayout) {
  TIniFile ini(File());
  ini.EraseSection("Tunnels");
  ini.WriteString("Tunnels", "Server0", "7777 10.0.0.5:7777");
  ini.WriteString("Tunnels", "Server1", "7787 10.0.0.6:7777");
  ini.WriteString("General", "AddPort", "1");
  for (const auto& [key, value] : {std::pair{"Temporary", "1"}, {"Static", "1"}, {"Password", "moonbeam"},
                                   {"Port", "23817"}, {"FromPort", "8000"}, {"ToPort", "9000"}}) {
    ini.WriteString("RemoteAdmin", key, value);
  }
  EXPECT_EQ(ReadRaw(), "[Tunnels]\nServer0=7777 10.0.0.5:7777\nServer1=7787 10.0.0.6:7777\n"
                       "[General]\nAddPort=1\n"
                       "[RemoteAdmin]\nTemporary=1\nStatic=1\nPassword=moonbeam\nPort=23817\nFromPort=8000\nToPort=9000\n");
  EXPECT_EQ(FolderNames(), Names{"gatewarden.ini"});
}

TEST_F(IniFileTest, WriteChangesOnlyItsOwnLine) {
  const std::string before = "; written by hand\r\n"
                             "stray line\n"
                             "[General]\r\n"
                             "  addport = 0  \r\n"
                             "AddPort=5\n"
                             "; end of General\n"
                             "\n"
                             "[Tunnels]\n"
                             "Server0=7777 10.0.0.5:7777";
  WriteRaw(before);
  TIniFile ini(File());

  ini.WriteString("general", "AddPort", "1");
  std::string expected = "; written by hand\r\n"
                         "stray line\n"
                         "[General]\r\n"
                         "AddPort=1\r\n"
                         "AddPort=5\n"
                         "; end of General\n";
  EXPECT_EQ(ReadRaw(), expected + "\n[Tunnels]\nServer0=7777 10.0.0.5:7777");

  // A new key goes after the section's last non-blank line, before the blank separator.
  ini.WriteString("General", "Mode", "x");
  expected += "Mode=x\n\n[Tunnels]\n";
  EXPECT_EQ(ReadRaw(), expected + "Server0=7777 10.0.0.5:7777");

  // The last line had no line end; it gets one before the new key.
  ini.WriteString("Tunnels", "Server1", "7787 10.0.0.6:7777");
  expected += "Server0=7777 10.0.0.5:7777\nServer1=7787 10.0.0.6:7777\n";
  EXPECT_EQ(ReadRaw(), expected);

  ini.WriteString("RemoteAdmin", "Port", "23817");
  EXPECT_EQ(ReadRaw(), expected + "[RemoteAdmin]\nPort=23817\n");
  EXPECT_EQ(ini.ReadString("GENERAL", "addport"), "1");
}

TEST_F(IniFileTest, WriteThatChangesNothingLeavesTheFileAlone) {
  WriteRaw("[General]\nAddPort=1\n");
  struct stat before {};
  ASSERT_EQ(::stat(File().c_str(), &before), 0);
  TIniFile(File()).WriteString("General", "AddPort", "1");
  struct stat after {};
  ASSERT_EQ(::stat(File().c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
}

TEST_F(IniFileTest, EraseSectionRemovesEveryDuplicateAndKeepsTheRest) {
  WriteRaw("[General]\nAddPort=1\n"
           "[Tunnels]\r\nServer0=7777 a:1\r\n; note\r\n\r\n"
           "[Options]\nx=1\n"
           "[TUNNELS]\nServer0=stale\n");
  TIniFile ini(File());
  ini.EraseSection("tunnels");
  EXPECT_EQ(ReadRaw(), "[General]\nAddPort=1\n[Options]\nx=1\n");
  // Had the later duplicate stayed, this key would land in it among its stale entries.
  ini.WriteString("Tunnels", "Server0", "7787 b:2");
  EXPECT_EQ(ini.ReadKeys("Tunnels"), Names{"Server0"});
  EXPECT_EQ(ini.ReadString("Tunnels", "Server0"), "7787 b:2");
}

TEST_F(IniFileTest, UnstorableNamesAndValuesAreRefusedWithoutTouchingTheFile) {
  WriteRaw("[RemoteAdmin]\nPassword=old\n");
  TIniFile ini(File());
  EXPECT_THROW(ini.WriteString("RemoteAdmin", "Password", "pw\n[Tunnels]\nServer0=1 h:2"), std::invalid_argument);
  EXPECT_THROW(ini.WriteString("RemoteAdmin", "Password", "pw\r"), std::invalid_argument);
  EXPECT_THROW(ini.WriteString("RemoteAdmin", "Pass=word", "x"), std::invalid_argument);
  EXPECT_THROW(ini.WriteString("RemoteAdmin", "", "x"), std::invalid_argument);
  EXPECT_THROW(ini.WriteString("Remote]Admin", "Password", "x"), std::invalid_argument);
  EXPECT_EQ(ReadRaw(), "[RemoteAdmin]\nPassword=old\n");
}

TEST_F(IniFileTest, LongValuesAreCutTo2047AndLongLinesKept) {
  const std::string huge(5 * 1024 * 1024, 'h');
  WriteRaw("[General]\nBig=" + huge + "\nAfter=1\n");
  TIniFile ini(File());
  EXPECT_EQ(ini.ReadString("General", "Big"), huge.substr(0, 2047));
  EXPECT_EQ(ini.ReadString("General", "After"), "1");
  ini.WriteString("General", "After", "2");
  EXPECT_EQ(ReadRaw(), "[General]\nBig=" + huge + "\nAfter=2\n");
}

TEST_F(IniFileTest, BinaryGarbageIsKeptAndDoesNotBreakReadsOrWrites) {
  std::mt19937 random(20240607);
  std::string garbage(256 * 1024, '\0');
  for (char& c : garbage) c = static_cast<char>(random() & 0xFF);
  WriteRaw(garbage);
  TIniFile ini(File());
  (void)ini.ReadKeys("General");
  ini.WriteString("Gatewarden Fresh", "Key", "value");
  EXPECT_EQ(ini.ReadString("Gatewarden Fresh", "Key"), "value");
  const std::string after = ReadRaw();
  EXPECT_EQ(after.substr(0, garbage.size()), garbage);
  ini.EraseSection("Gatewarden Fresh");
  EXPECT_EQ(ReadRaw().substr(0, garbage.size()), garbage);
  EXPECT_EQ(ini.ReadString("Gatewarden Fresh", "Key"), std::nullopt);
}

TEST_F(IniFileTest, ReplacingKeepsPermissionBitsAndSymbolicLinks) {
  const fs::path real = Folder / "real.ini";
  {
    std::ofstream(real) << "[General]\nAddPort=0\n";
  }
  ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
  fs::create_symlink("real.ini", File());
  TIniFile(File()).WriteString("General", "AddPort", "1");
  EXPECT_TRUE(fs::is_symlink(File()));
  EXPECT_EQ(ReadRaw(), "[General]\nAddPort=1\n");
  struct stat status {};
  ASSERT_EQ(::stat(real.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640u);
  EXPECT_EQ(FolderNames().size(), 2u);
}

void ExpectWriteError(TIniFile& ini, const fs::path& path) {
  try {
    ini.WriteString("General", "AddPort", "1");
    FAIL() << "no error raised";
  } catch (const TIniWriteError& error) {
    EXPECT_EQ(std::string(error.what()), "Unable to write to " + path.string());
  }
}

TEST_F(IniFileTest, WriteIntoAMissingFolderFailsAndCreatesNothing) {
  const fs::path path = Folder / "missing" / "gatewarden.ini";
  TIniFile ini(path);
  EXPECT_EQ(ini.ReadString("General", "AddPort"), std::nullopt);
  ExpectWriteError(ini, path);
  EXPECT_TRUE(FolderNames().empty());
}

TEST_F(IniFileTest, WriteWhereTheFolderIsAFileFailsAndLeavesItAlone) {
  WriteRaw("[General]\nAddPort=0\n");
  const fs::path path = File() / "gatewarden.ini";
  TIniFile ini(path);
  EXPECT_EQ(ini.ReadKeys("General"), Names{});
  ExpectWriteError(ini, path);
  EXPECT_EQ(ReadRaw(), "[General]\nAddPort=0\n");
  EXPECT_EQ(FolderNames(), Names{"gatewarden.ini"});
}

// Taken for an empty file, these would have the next save replace the settings with defaults.
TEST_F(IniFileTest, AFileThatCannotBeReadIsAnErrorNotAnEmptyFile) {
  const fs::path loop = Folder / "loop.ini";
  fs::create_symlink("loop.ini", loop);
  fs::create_directory(File());
  for (const fs::path& path : {loop, File()}) {
    SCOPED_TRACE(path);
    TIniFile ini(path);
    EXPECT_THROW(ini.ReadKeys("General"), TIniReadError);
    ExpectWriteError(ini, path);
  }
}

// The file size limit makes the write of the new content fail half way, after the temporary
// file exists; signals are restored and the limit lifted when the test ends.
class FileSizeLimit {
public:
  explicit FileSizeLimit(rlim_t bytes) {
    oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &old_);
    rlimit limit = old_;
    limit.rlim_cur = bytes;
    ok_ = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, oldHandler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  bool Ok() const { return ok_; }

private:
  rlimit old_{};
  void (*oldHandler_)(int) = nullptr;
  bool ok_ = false;
};

TEST_F(IniFileTest, AWriteFailingHalfWayLeavesTheOldFileAndNoTemporaryFile) {
  const std::string before = "[General]\nAddPort=0\n";
  WriteRaw(before);
  TIniFile ini(File());
  {
    const FileSizeLimit limit(64);
    ASSERT_TRUE(limit.Ok());
    try {
      ini.WriteString("RemoteAdmin", "Password", std::string(200, 'p'));
      FAIL() << "no error raised";
    } catch (const TIniWriteError& error) {
      EXPECT_EQ(std::string(error.what()), "Unable to write to " + File().string());
      try {
        std::rethrow_if_nested(error);
        ADD_FAILURE() << "no cause attached";
      } catch (const std::system_error& cause) {
        EXPECT_EQ(cause.code().value(), EFBIG) << cause.what();
      }
    }
  }
  EXPECT_EQ(ReadRaw(), before);
  EXPECT_EQ(FolderNames(), Names{"gatewarden.ini"});
}

} // namespace
} // namespace gw
