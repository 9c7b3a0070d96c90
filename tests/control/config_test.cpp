#include "config.h"
#include "errorOf.h"
#include "iniFile.h"
#include "loopHarness.h"
#include "settingsPath.h"
#include "tempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <map>

namespace gw {
namespace {

using namespace std::chrono_literals;

const std::string kExampleFile = "[General]\n"
                                 "AddPort=1\n"
                                 "[RemoteAdmin]\n"
                                 "Temporary=1\n"
                                 "Static=1\n"
                                 "Password=moonbeam\n"
                                 "Port=23817\n"
                                 "FromPort=8000\n"
                                 "ToPort=9000\n"
                                 "[Tunnels]\n"
                                 "Server0=7777 10.0.0.5:7777\n"
                                 "Server1=7787 10.0.0.6:7777\n";

struct TConfigFixture : ::testing::Test {
  std::filesystem::path File() const { return Folder / "gatewarden.ini"; }
  void Write(const std::string& content) const { test::TTempFolder::Write(File(), content); }
  std::string Read() const { return test::TTempFolder::Read(File()); }
  std::unique_ptr<TConfig> Load() const { return std::make_unique<TConfig>(Context, File()); }
  // The text of the settings error that loading raises; a failure when it loads.
  std::string Refusal() const {
    return test::ErrorOf<TSettingsError>([this] { Load(); });
  }

  mutable test::TTestContext Context;
  test::TTempFolder Folder;
};

TEST_F(TConfigFixture, WithoutAFileEverythingIsDefaultAndNothingIsCreated) {
  auto config = Load();
  EXPECT_EQ(config->Count(), 0);
  EXPECT_TRUE(config->AddPort);
  EXPECT_TRUE(config->Temporary);
  EXPECT_TRUE(config->Static);
  EXPECT_EQ(config->Password, "moonbeam");
  EXPECT_EQ(config->Port, 23817);
  EXPECT_EQ(config->FromPort, 8000);
  EXPECT_EQ(config->ToPort, 9000);
  EXPECT_FALSE(std::filesystem::exists(File()));

  config->Save();
  EXPECT_EQ(Read(), "[General]\nAddPort=1\n[RemoteAdmin]\nTemporary=1\nStatic=1\nPassword=moonbeam\n"
                    "Port=23817\nFromPort=8000\nToPort=9000\n");
}

TEST_F(TConfigFixture, ValuesReadThroughTheIntegerConversionWithDefaults) {
  Write("[general]\nADDPORT=yes\n[RemoteAdmin]\nTemporary=0\nStatic=-1\nPort=0x5D09\nFromPort=abc\nToPort=\n"
        "Password=\n");
  auto config = Load();
  EXPECT_TRUE(config->AddPort);
  EXPECT_FALSE(config->Temporary);
  EXPECT_TRUE(config->Static);
  EXPECT_EQ(config->Port, 23817);
  EXPECT_EQ(config->FromPort, 8000);
  EXPECT_EQ(config->ToPort, 9000);
  EXPECT_EQ(config->Password, "") << "an empty password is a password";

  Write("[General]\nAddPort=0\n[RemoteAdmin]\nTemporary=2\nPort=abc\n");
  config = Load();
  EXPECT_FALSE(config->AddPort);
  EXPECT_TRUE(config->Temporary);
  EXPECT_EQ(config->Port, 23817);
}

TEST_F(TConfigFixture, EveryTunnelKeyLoadsInFileOrderAndSavesRenumbered) {
  Write("[Tunnels]\na=7777 10.0.0.5:7777\nServer9=7787 10.0.0.6:7777\n");
  auto config = Load();
  ASSERT_EQ(config->Count(), 2);
  EXPECT_EQ(config->Items(0).ListenPort, 7777);
  EXPECT_EQ(config->Items(1).ServerHost, "10.0.0.6");

  config->Save();
  EXPECT_NE(Read().find("[Tunnels]\nServer0=7777 10.0.0.5:7777\nServer1=7787 10.0.0.6:7777\n"), std::string::npos)
      << Read();
}

TEST_F(TConfigFixture, SavesTheFileItLoadedUnchanged) {
  Write(kExampleFile);
  Load()->Save();
  EXPECT_EQ(Read(), kExampleFile);
}

TEST_F(TConfigFixture, DeletingTheFirstTunnelMovesTheOthersUp) {
  Write("[General]\nAddPort=0\n[Tunnels]\nServer0=1 a:1\nServer1=2 b:2\nServer2=3 c:3\n");
  auto config = Load();
  config->Delete(0);
  config->Save();
  const std::string saved = Read();
  EXPECT_NE(saved.find("[Tunnels]\nServer0=2 b:2\nServer1=3 c:3\n"), std::string::npos) << saved;
  EXPECT_EQ(saved.find("Server2"), std::string::npos);

  config->Delete(0);
  config->Delete(0);
  config->Save();
  EXPECT_EQ(Read().find("[Tunnels]"), std::string::npos) << "no tunnels, no section";
  EXPECT_THROW(config->Delete(0), std::out_of_range);
  EXPECT_THROW(config->Items(-1), std::out_of_range);
}

// Each file is refused with every reason in it, one line each, naming the entry and its value.
TEST_F(TConfigFixture, PortsThatAreNoneAreRefused) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"[RemoteAdmin]\nPort=70000\nFromPort=0\nToPort=-5\n",
       {"section [RemoteAdmin], entry Port=70000: not a port (1 to 65535)", "entry FromPort=0: not a port",
        "entry ToPort=-5: not a port"}},
      {"[Tunnels]\nServer0=0 h:7777\nServer1=7777 h:70000\nServer3=7000 224.1.1.1:7777\n",
       {"entry Server0=0 h:7777: listen port 0 is not a port", "entry Server1=7777 h:70000: server port 70000 is not",
        "Server3=7000 224.1.1.1:7777: 224.1.1.1 is a multicast address"}},
      {"[Metrics]\nPort=23817\n", {"[Metrics] Port=23817 is the remote control's TCP port too"}},
  };
  for (const auto& [content, reasons] : cases) {
    SCOPED_TRACE(content);
    Write(content);
    const std::string text = Refusal();
    EXPECT_EQ(std::ranges::count(text, '\n') + 1, static_cast<long>(reasons.size())) << text;
    for (const std::string& reason : reasons) EXPECT_NE(text.find(reason), std::string::npos) << text;
  }
  // Off, remote control's port clashes with nothing.
  Write("[RemoteAdmin]\nTemporary=0\n[Metrics]\nPort=23817\n");
  EXPECT_NO_THROW(Load());
}

// Ports that two tunnels ask for, a query port past 65535 and a temporary range with FromPort
// above ToPort: the file loads, each tunnel that can serves, and the clashes are told; a check
// or a reload refuses them.
TEST_F(TConfigFixture, ClashesAreToldAtLoadAndRefusedByAReload) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"[Tunnels]\nServer2=65535 h:1\n", {"entry Server2=65535 h:1: its query port 65536 is not a port (1 to 65535) (AddPort=1)"}},
      // A name given twice reads its first value twice: the same port.
      {"[Tunnels]\nServer0=7777 a:1\nServer0=7000 b:1\nServer2=7778 c:1\n",
       {"entry Server0=7777 a:1: its port 7777 is already the port of entry Server0",
        "entry Server2=7778 c:1: its port 7778 is already the query port (AddPort=1) of entry Server0"}},
      {"[RemoteAdmin]\nFromPort=9000\nToPort=8999\n",
       {"the temporary tunnels' range FromPort=9000 to ToPort=8999 is empty: every temporary tunnel takes FromPort"}},
  };
  for (const auto& [content, reasons] : cases) {
    SCOPED_TRACE(content);
    Write("[RemoteAdmin]\nFromPort=9000\nToPort=9100\n");
    const auto config = Load();
    Write(content);
    const auto clashing = Load();
    EXPECT_EQ(clashing->Clashes.size(), reasons.size());
    for (const std::string& reason : reasons) {
      EXPECT_TRUE(std::ranges::any_of(clashing->Warnings, [&](const std::string& w) { return w.find(reason) != std::string::npos; }))
          << reason;
    }
    EXPECT_THROW(clashing->RefuseClashes(), TSettingsError);
    EXPECT_THROW(config->Reload(), TSettingsError);
    EXPECT_EQ(config->ToPort, 9100) << "a refused reload changed the options";
  }
  Write("[RemoteAdmin]\nTemporary=0\nFromPort=9000\nToPort=8999\n");
  EXPECT_TRUE(Load()->Clashes.empty());
}

// What does not read as it seems is read by the rules of the file all the same, and told;
// a number that does not convert is refused by a reload, and a start takes the default.
TEST_F(TConfigFixture, WhatNothingReadsAndNumbersThatDoNotConvertAreWarnings) {
  Write("AddPort=0\n[General]\nAddPort=yes\nFastPath=0\nAddPot=0\nAddPort=0\njunk\n[RemoteAdmin]\n"
        "Port=23818 ; mine\nFromPort=7000\n[Tunels]\nServer0=1 a:1\n[Tunnels]\nServer0=7000\t10.0.0.5:7777\n"
        "[general]\nAddPort=0\n[Masters]\nIntervall=5\n");
  const auto config = Load();
  EXPECT_TRUE(config->AddPort);
  EXPECT_FALSE(config->FastPath);
  EXPECT_EQ(config->Port, 23817);
  EXPECT_EQ(config->Unreadable.size(), 2u);
  EXPECT_THROW(config->RefuseClashes(), TSettingsError);
  EXPECT_THROW(config->Reload(), TSettingsError);
  ASSERT_EQ(config->Count(), 1);
  EXPECT_EQ(config->Items(0).ServerHost, "10.0.0.5");
  const std::vector<std::string> expected = {
      "line 1: AddPort=0 comes before any section",
      "line 5: AddPot=0 is no key of [General]",
      "line 6: AddPort=0 sets AddPort again: only line 3 is read",
      "line 7: 'junk' is no entry",
      "line 9: Port=23818 ; mine: the value of Port is all of '23818 ; mine'",
      "line 11: [Tunels] is no section the program reads",
      "line 15: [general] comes again",
      "line 18: Intervall=5 is no key of [Masters]",
      "entry AddPort=yes: not a number, so a start reads the default 1",
      "entry Port=23818 ; mine: not a number, so a start reads the default 23817",
      "range FromPort=7000 to ToPort=9000 holds 2 static tunnel ports (7000, 7001)",
  };
  ASSERT_EQ(config->Warnings.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i)
    EXPECT_NE(config->Warnings[i].find(expected[i]), std::string::npos) << config->Warnings[i];
  // No default of the original program's files: no start either.
  Write("[General]\nFastPath=1 ; fast\n");
  EXPECT_NE(Refusal().find("entry FastPath=1 ; fast: not a number"), std::string::npos) << Refusal();
}

TEST_F(TConfigFixture, ARejectedTunnelEntryStopsTheLoadAndLeavesTheFileAlone) {
  const std::string content = "[Tunnels]\nServer0=7777 10.0.0.5:7777\nServer1=7777 a:b:7777\n";
  Write(content);
  {
    const std::string text = Refusal();
    EXPECT_NE(text.find(File().string()), std::string::npos) << text;
    EXPECT_NE(text.find("Server1=7777 a:b:7777"), std::string::npos) << text;
    EXPECT_NE(text.find("'b:7777' is not a valid integer value"), std::string::npos) << text;
  }
  EXPECT_EQ(Read(), content);
}

TEST_F(TConfigFixture, AFailedSaveRaisesAndChangesNothing) {
  Write(kExampleFile);
  auto config = Load();
  // A folder in the way of the temporary file's place: the file cannot be replaced.
  const auto blocked = std::make_unique<TConfig>(Context, Folder / "no-such-folder" / "gatewarden.ini");
  blocked->Password = "changed";
  try {
    blocked->Save();
    FAIL() << "saved";
  } catch (const TIniWriteError& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + (Folder / "no-such-folder" / "gatewarden.ini").string());
  }
  EXPECT_EQ(blocked->Password, "changed");
  EXPECT_EQ(Read(), kExampleFile);
}

TEST_F(TConfigFixture, ReloadTakesTheFileAsItIsNowKeepingUnchangedTunnelsAndNothingFromAFileThatDoesNotRead) {
  Write(kExampleFile);
  auto config = Load();
  TServer* const kept = &config->Items(1);
  Write("[RemoteAdmin]\nPassword=other\nPort=1234\n[Tunnels]\nServer0=7787 10.0.0.6:7777\nServer1=7797 h:1\n");
  config->Reload();
  EXPECT_EQ(config->Password, "other");
  EXPECT_EQ(config->Port, 1234);
  EXPECT_EQ(config->FromPort, 8000) << "a key that left the file takes its default";
  ASSERT_EQ(config->Count(), 2);
  EXPECT_EQ(&config->Items(0), kept) << "an unchanged tunnel keeps its relays";
  EXPECT_EQ(config->Items(1).ServerHost, "h");

  Write("[RemoteAdmin]\nPassword=third\n[Tunnels]\nServer0=7777 a:b:7777\n");
  EXPECT_THROW(config->Reload(), TSettingsError);
  EXPECT_EQ(config->Password, "other");
  ASSERT_EQ(config->Count(), 2);
  EXPECT_EQ(&config->Items(0), kept);
}

TEST_F(TConfigFixture, MetricsReadStrictlyAreKeptBySaveAndABadSectionReloadsNothing) {
  Write("[Metrics]\nPort=0x238C\nAddress=0.0.0.0\n");
  auto config = Load();
  EXPECT_EQ(config->Metrics, (TMetricsSettings{9100, "0.0.0.0", ""}));
  config->Save();
  EXPECT_NE(Read().find("[Metrics]\nPort=0x238C\nAddress=0.0.0.0\n"), std::string::npos) << Read();
  // Handed to the HTTP server, "127.0.0.1:80,0.0.0.0:81" would open two more ports.
  for (const std::string entry : {"Port=65536", "Port=x", "Address=127.0.0.1:80,0.0.0.0:81", "Address=localhost"}) {
    Write("[Metrics]\n" + entry + "\n");
    EXPECT_NE(Load()->Metrics.Problem.find("section [Metrics], entry " + entry + ": not a"), std::string::npos) << entry;
    EXPECT_THROW(config->Reload(), TSettingsError) << entry;
    EXPECT_EQ(config->Metrics.Port, 9100);
  }
}

TEST_F(TConfigFixture, MastersReadWithTheirDefaultPortAreKeptBySaveAndABadEntryIsRefusedNamingIt) {
  const std::string section = "[Masters]\nServer0=master.example.org\nServer1=10.0.0.7:27901\nInterval=30\nGameName=ut\n";
  Write(section);
  auto config = Load();
  EXPECT_EQ(config->Masters, (TMastersSettings{{{"master.example.org", 27900}, {"10.0.0.7", 27901}}, 30s, "ut"}));
  config->Save();
  EXPECT_NE(Read().find(section), std::string::npos) << Read();
  for (const std::string entry : {"Server9=a:b", "Server9=:27900", "Server9=a:0", "Server1=master.example.org",
                                  "Interval=0", "Interval=x", "GameName=u t", "GameName=ut\\x"}) {
    Write("[Masters]\nServer0=master.example.org\n" + entry + "\n");
    try {
      Load();
      ADD_FAILURE() << entry << " loaded";
    } catch (const TSettingsError& e) {
      EXPECT_NE(std::string(e.what()).find(File().string() + ", section [Masters], entry " + entry + ": "),
                std::string::npos) << e.what();
    }
  }
}

TEST(SettingsPath, BesideTheProgramInItsBuildFolderOrAPortableCopyElseInTheUsersConfigFolder) {
  test::TTempFolder folder;
  std::map<std::string, std::string> variables{{"HOME", "/home/u"}};
  const TEnvironment environment = [&](const char* name) -> std::optional<std::string> {
    const auto found = variables.find(name);
    return found == variables.end() ? std::nullopt : std::optional(found->second);
  };
  const std::filesystem::path beside = folder / "gatewarden.ini";

  EXPECT_EQ(SettingsPathFor(folder.Path(), environment), "/home/u/.config/gatewarden/gatewarden.ini");
  variables["XDG_CONFIG_HOME"] = "relative/is/ignored";
  EXPECT_EQ(SettingsPathFor(folder.Path(), environment), "/home/u/.config/gatewarden/gatewarden.ini");
  variables["XDG_CONFIG_HOME"] = "/xdg";
  EXPECT_EQ(SettingsPathFor(folder.Path(), environment), "/xdg/gatewarden/gatewarden.ini");

  test::TTempFolder::Write(beside, "");
  EXPECT_EQ(SettingsPathFor(folder.Path(), environment), beside);
  std::filesystem::remove(beside);
  test::TTempFolder::Write(folder / "CMakeCache.txt", "");
  EXPECT_EQ(SettingsPathFor(folder.Path(), environment), beside);
}

} // namespace
} // namespace gw
