// Signed packages on a terminal that trusts a key, in both run modes: a package signed by the
// key installs; anything else is refused before a byte is written, and a member whose bytes are
// not the signed ones fails its item with its destination left as it was.
#include <gtest/gtest.h>
#include <nettle/eddsa.h>

#include <string>
#include <vector>

#include "package/container_format.h"
#include "package/manifest.h"
#include "sim/desktop_config.h"
#include "sim/runner.h"
#include "sim/security_config.h"
#include "support/package_builder.h"
#include "support/terminal_fixture.h"

namespace {

using testing_support::ApplicationSettings;
using testing_support::BigMember;
using testing_support::BuildPackage;
using testing_support::PackageMember;
using testing_support::TerminalTest;

enum class Mode { kTerminal, kDesktop };

manifest::PrivateKey Seed(uint8_t first) {
  manifest::PrivateKey seed;
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<uint8_t>(first + i);
  return seed;
}

manifest::PublicKey PublicOf(const manifest::PrivateKey& seed) {
  manifest::PublicKey key;
  ed25519_sha512_public_key(key.data(), seed.data());
  return key;
}

// The signature member over the members, as "vostrel pack sign" makes it.
PackageMember SignatureOf(const std::vector<PackageMember>& members,
                          const manifest::PrivateKey& seed) {
  manifest::Manifest contents;
  for (const PackageMember& member : members) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(member.contents.data());
    contents.items.push_back({member.name, container::kAttribNormal,
                              static_cast<uint32_t>(member.contents.size()),
                              manifest::PieceDigestsOf({bytes, member.contents.size()})});
  }
  const std::string text = manifest::FormatManifest(contents);
  const manifest::PublicKey key = PublicOf(seed);
  manifest::Signature signature;
  ed25519_sha512_sign(key.data(), seed.data(), text.size(),
                      reinterpret_cast<const uint8_t*>(text.data()), signature.data());
  const std::vector<uint8_t> bytes = manifest::JoinMember(text, signature, key);
  return {manifest::kSignatureMember, std::string(bytes.begin(), bytes.end())};
}

std::vector<PackageMember> WithSignature(PackageMember signature,
                                         const std::vector<PackageMember>& members) {
  std::vector<PackageMember> all = {std::move(signature)};
  all.insert(all.end(), members.begin(), members.end());
  return all;
}

const std::string kScript =
    "MKDIR|\\Flash Disk2\\Apps\r\n"
    "COPY|Apps\\App.exe|\\Flash Disk2\\Apps\\App.exe\r\n"
    "COPY|Apps\\Big.dat|\\Flash Disk2\\Apps\\Big.dat\r\n";

class SignedRunTest : public TerminalTest, public ::testing::WithParamInterface<Mode> {
 protected:
  sim::TerminalConfig Config() const override {
    sim::TerminalConfig config;
    config.Get<sim::SecurityConfig>().trustedKeys = {manifest::PublicKeyPem(PublicOf(Seed(1)))};
    return config;
  }
  std::vector<PackageMember> Members() {
    return {{"Vostrel.ini", ApplicationSettings("2.0.0", kScript)},
            {"Apps\\App.exe", "application 2.0.0"},
            {"Apps\\Big.dat", BigMember()}};
  }
  sim::RunOutcome Update(std::string_view keys, const std::vector<PackageMember>& members,
                         const sim::DesktopConfig& desktop = {}) {
    const std::string package = BuildPackage(members);
    if (GetParam() == Mode::kDesktop) return RunDesktop(keys, package, desktop, 2);
    WriteFile("\\Storage Card\\install.bin", package);
    return Run(keys, "", 2);
  }
};

TEST_P(SignedRunTest, APackageSignedByTheTrustedKeyInstalls) {
  const sim::RunOutcome outcome =
      Update("PLAY PLAY", WithSignature(SignatureOf(Members(), Seed(1)), Members()));
  EXPECT_EQ(outcome.screens, (std::vector<int>{1, 3, 7, 8}));
  EXPECT_EQ(ReadFile("\\Flash Disk2\\Apps\\App.exe"), "application 2.0.0");
  EXPECT_EQ(ReadFile("\\Flash Disk2\\Apps\\Big.dat"), BigMember());
}

TEST_P(SignedRunTest, AnythingElseIsRefusedBeforeAnythingIsWritten) {
  const std::vector<PackageMember> members = Members();
  std::vector<PackageMember> longerIni = members;
  longerIni[0].contents += "; changed\r\n";
  std::vector<PackageMember> sameLengthIni = members;
  sameLengthIni[0].contents.back() = ' ';
  std::vector<PackageMember> extra = members;
  extra.push_back({"Apps\\Extra.exe", "not signed"});
  PackageMember editedManifest = SignatureOf(members, Seed(1));
  editedManifest.contents[30] ^= 1;
  const struct {
    const char* name;
    std::vector<PackageMember> package;
    int32_t error;
    std::string text;
  } cases[] = {
      {"unsigned", members, 1050, "Package is not signed ["},
      {"another key", WithSignature(SignatureOf(members, Seed(2)), members), 1051,
       "Bad package signature [not signed by a trusted key, or the manifest was changed]"},
      {"manifest edited", WithSignature(editedManifest, members), 1051,
       "Bad package signature [not signed by a trusted key, or the manifest was changed]"},
      {"settings longer", WithSignature(SignatureOf(members, Seed(1)), longerIni), 1052,
       "Package differs from its manifest [the member \"Vostrel.ini\" differs from the manifest "
       "in length or attributes]"},
      {"settings changed", WithSignature(SignatureOf(members, Seed(1)), sameLengthIni), 1053,
       "Member differs from its manifest [Vostrel.ini]"},
      {"member added", WithSignature(SignatureOf(members, Seed(1)), extra), 1052,
       "Package differs from its manifest [the member \"Apps\\Extra.exe\" is not in the "
       "manifest]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const sim::RunOutcome outcome = Update("PLAY", c.package);
    EXPECT_EQ(outcome.screens, (std::vector<int>{1, 2}));
    EXPECT_EQ(outcome.lastError, c.error);
    EXPECT_EQ(outcome.lastErrorText.substr(0, c.text.size()), c.text);
    EXPECT_FALSE(Exists("\\Flash Disk2\\Apps"));
    // An extracted settings file that is not the signed one is gone with the refusal.
    if (GetParam() == Mode::kTerminal) {
      EXPECT_FALSE(Exists("\\Vostrel.ini"));
    }
  }
}

TEST_P(SignedRunTest, AMemberChangedAfterSigningFailsItsCopyAndLeavesTheDestination) {
  WriteFile("\\Flash Disk2\\Apps\\App.exe", "application 1.0.0");
  std::vector<PackageMember> changed = Members();
  changed[1].contents = "application 6.6.6";
  const sim::RunOutcome outcome =
      Update("PLAY", WithSignature(SignatureOf(Members(), Seed(1)), changed));
  EXPECT_EQ(outcome.screens, (std::vector<int>{1, 3, 7, 9}));
  EXPECT_EQ(ReadFile("\\Flash Disk2\\Apps\\App.exe"), "application 1.0.0");
  // The script goes on with its next line, as after any failed copy.
  EXPECT_EQ(ReadFile("\\Flash Disk2\\Apps\\Big.dat"), BigMember());
  const std::string log = ReadFile("\\Flash disk2\\Vostrel.log");
  EXPECT_NE(log.find("Error Number [1053] in Function [CFileVirtual::HHTFileOpen:]"),
            std::string::npos)
      << log;
}

// A desktop that serves a member's bytes as signed for the terminal's check and changed for the
// use: the changed piece fails the read before it reaches the copy, which is removed.
using ChangingDesktopTest = SignedRunTest;

TEST_P(ChangingDesktopTest, AMemberServedDifferentlyForItsUseFailsItsCopy) {
  const sim::RunOutcome outcome =
      Update("PLAY", WithSignature(SignatureOf(Members(), Seed(1)), Members()),
             {.cacheSize = manifest::kPieceSize, .changeServedAgain = "Apps\\Big.dat"});
  EXPECT_EQ(outcome.screens, (std::vector<int>{1, 3, 7, 9}));
  EXPECT_EQ(ReadFile("\\Flash Disk2\\Apps\\App.exe"), "application 2.0.0");
  EXPECT_FALSE(Exists("\\Flash Disk2\\Apps\\Big.dat"));
  const std::string log = ReadFile("\\Flash disk2\\Vostrel.log");
  EXPECT_NE(log.find("Error Number [1053] in Function [CFileVirtual::HHTFileRead:]"),
            std::string::npos)
      << log;
}

INSTANTIATE_TEST_SUITE_P(Desktop, ChangingDesktopTest, ::testing::Values(Mode::kDesktop),
                         [](const ::testing::TestParamInfo<Mode>&) { return "Desktop"; });

INSTANTIATE_TEST_SUITE_P(BothModes, SignedRunTest,
                         ::testing::Values(Mode::kTerminal, Mode::kDesktop),
                         [](const ::testing::TestParamInfo<Mode>& param) {
                           return param.param == Mode::kTerminal ? "Terminal" : "Desktop";
                         });

}  // namespace
