#include "package/file_access.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "log/log.h"
#include "package/container_bytes.h"
#include "package/container_format.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "support/terminal_fixture.h"
#include "text/text.h"

namespace {

using namespace container_bytes;
using testing_support::TerminalTest;

constexpr const char* kPackage = "\\Storage Card\\install.bin";
constexpr const char* kLoad = "CFileAccess::LoadFileHeaders:";

class FileAccessTest : public TerminalTest {
 protected:
  void SetUp() override {
    TerminalTest::SetUp();
    StartUpdaterObjects(3);
    ASSERT_TRUE(Term().Files().CreateFolder("\\Windows"));
    m_access.SetContainerPath(kPackage);
  }

  void Put(const std::string& stored) { WriteFile(kPackage, stored); }

  // The log's entries without their time, the date lines and the error rules.
  std::vector<std::string> Trace() {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile("\\Flash disk2\\Vostrel.log"));
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.size() < 10 || line[2] != ':' || line.compare(8, 2, "  ") != 0) continue;
      line.erase(0, 10);
      if (line.rfind("Current date", 0) == 0 || line.find("#####") != std::string::npos) continue;
      lines.push_back(line);
    }
    return lines;
  }
  // The entries from the one that begins with `first` on.
  std::vector<std::string> TraceFrom(const std::string& first) {
    std::vector<std::string> lines = Trace();
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].rfind(first, 0) == 0) return {lines.begin() + i, lines.end()};
    }
    return {};
  }

  void ExpectLastError(int number, const std::string& message, const std::string& operation) {
    EXPECT_EQ(g_pUtils->LastError().m_nLastError, number);
    EXPECT_EQ(g_pUtils->LastError().m_strLastError, message);
    EXPECT_EQ(g_pUtils->LastError().m_strLastErrorFunction, operation);
  }
  // A report of error 0 leaves no error behind for the next check to take as its own.
  void ClearLastError() { LogAppError(0, "", ""); }

  CFileAccess m_access;
};

TEST_F(FileAccessTest, TheExampleLoadsChecksAndExtractsWithEveryLogLine) {
  Put(ExampleStored());
  ASSERT_EQ(m_access.LoadFileHeaders(), 1);
  ASSERT_EQ(m_access.HeaderCount(), 1u);
  const CFileHeader& header = *m_access.Headers().front();
  EXPECT_EQ(header.Len, 22u);
  EXPECT_EQ(header.Name, "ab");
  EXPECT_EQ(header.Attrib, 0u);
  EXPECT_EQ(header.FileLen, 3u);
  EXPECT_EQ(header.Offset, 29u);
  EXPECT_EQ(m_access.MiniHeaderSize(), 0u);
  EXPECT_EQ(m_access.ContainerLength(), 36u);
  EXPECT_EQ(m_access.IsCheckSumValid(), 1);
  std::string target;
  EXPECT_EQ(m_access.ExtractFile("AB", "\\Windows", &target), 1);
  EXPECT_EQ(target, "\\Windows\\ab");
  EXPECT_EQ(ReadFile("\\Windows\\ab"), "xyz");
  EXPECT_EQ(g_pUtils->LastError().m_nLastError, 0);

  const std::string headerLine =
      "CFileHeader::OutputHeaderToLog: Len[22], Name=[ab], Attrib=[0], FileLen[3], Offset=[29]";
  const std::vector<std::string> expected = {
      "CFileAccess::LoadFileHeaders: Starting to load header",
      "CFileAccess::LoadFileHeaders: Bin file size=[36]",
      "CFileAccess::LoadFileHeaders: Loaded mini header - size=[0], num=[1]",
      "CFileAccess::LoadFileHeaders: Read=[18]",
      headerLine,
      "CFileAccess::IsCheckSumValid: Length is [36], data size is [32]",
      "CFileAccess::IsCheckSumValid: Valid checksums File=[639] Calc=[639]",
      "CFileAccess::ExtractFile: Extracting [AB] into dir [\\Windows]",
      headerLine,
      "CFileAccess::ExtractFileFromBin: Extracting to [\\Windows\\ab]",
      "CFileAccess::ExtractFile: Extracted [AB] to [\\Windows\\ab]",
      "CFileAccess::ExtractFile: Finished [AB] into dir [\\Windows]=[1]",
  };
  EXPECT_EQ(TraceFrom("CFileAccess::LoadFileHeaders: Starting"), expected);
}

TEST_F(FileAccessTest, RandomMemberSetsRoundTripThroughTheWriter) {
  std::mt19937 random(2024);
  const std::vector<std::string> folders = {"", "Apps\\", "Ünïcode\\Ordner\\", "данные\\",
                                            "日本\\"};
  const std::vector<std::string> leaves = {"Nav.exe", "é.txt", "Файл.bin", "😀.dat", "a"};
  g_pLog->SetDebugLevel(1);  // thousands of header lines would only slow the log down
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE(round);
    std::vector<container::Member> members;
    const int count = 1 + static_cast<int>(random() % 8);
    for (int i = 0; i < count; ++i) {
      container::Member member;
      member.name =
          folders[random() % folders.size()] + std::to_string(i) + leaves[random() % leaves.size()];
      member.attrib = static_cast<uint32_t>(random());
      std::size_t size = random() % 4 == 0 ? 0 : random() % 3000;
      if (round == 2 && i == 0) size = container::kTransferBufferSize + 1000;
      member.contents.resize(size);
      for (char& c : member.contents) c = static_cast<char>(random());
      members.push_back(std::move(member));
    }
    // The last member ends right before the checksum.
    members.back().contents += "tail";
    container::VectorSink sink;
    std::string error;
    ASSERT_TRUE(container::WriteContainer(members, {}, sink, &error)) << error;
    Put({sink.Bytes().begin(), sink.Bytes().end()});

    ASSERT_EQ(m_access.LoadFileHeaders(), 1);
    ASSERT_EQ(m_access.IsCheckSumValid(), 1);
    ASSERT_EQ(m_access.HeaderCount(), members.size());
    for (std::size_t i = 0; i < members.size(); ++i) {
      const CFileHeader& header = *m_access.Headers()[i];
      EXPECT_EQ(header.Name, members[i].name);
      EXPECT_EQ(header.Attrib, members[i].attrib);
      EXPECT_EQ(header.FileLen, members[i].contents.size());
      std::string target;
      ASSERT_EQ(m_access.ExtractFile(members[i].name, "\\Windows\\", &target), 1);
      EXPECT_EQ(ReadFile(target), members[i].contents) << members[i].name;
    }
  }
}

TEST_F(FileAccessTest, AContainerFromAnIndependentWriterReadsAlike) {
  Put(ReferenceContainer({{u"Vostrel.ini", 0x20, "[Update]\r\n"},
                          {u"Apps\\Nav.exe", 0x1, std::string(5000, 'n')},
                          {u"GPS\\fw.s19", 0x80, ""}},
                         0xDEADBEEF));
  ASSERT_EQ(m_access.LoadFileHeaders(), 1);
  EXPECT_EQ(m_access.MiniHeaderSize(), 0xDEADBEEFu);
  ASSERT_EQ(m_access.HeaderCount(), 3u);
  EXPECT_EQ(m_access.Headers()[1]->Name, "Apps\\Nav.exe");
  EXPECT_EQ(m_access.Headers()[1]->Attrib, 0x1u);
  EXPECT_EQ(m_access.IsCheckSumValid(), 1);
  std::string target;
  ASSERT_EQ(m_access.ExtractFile("apps\\nav.exe", "\\Windows", &target), 1);
  EXPECT_EQ(ReadFile(target), std::string(5000, 'n'));
  ASSERT_EQ(m_access.ExtractFile("GPS\\FW.S19", "\\Windows", &target), 1);
  EXPECT_TRUE(Exists("\\Windows\\fw.s19"));
  EXPECT_EQ(ReadFile("\\Windows\\fw.s19"), "");
}

TEST_F(FileAccessTest, EveryBitFlipFailsTheChecksumAndSwappedBytesDoNot) {
  const std::string example = ExampleStored();
  g_pLog->SetDebugLevel(1);
  for (std::size_t bit = 0; bit < example.size() * 8; ++bit) {
    std::string damaged = example;
    damaged[bit / 8] = static_cast<char>(damaged[bit / 8] ^ (1 << (bit % 8)));
    Put(damaged);
    ClearLastError();
    ASSERT_EQ(m_access.IsCheckSumValid(), 0) << "bit " << bit;
    ExpectLastError(1019, "CHECKSUM FAILED", "CFileAccess::IsCheckSumValid:");
  }
  for (const auto& [a, b] : {std::pair{0, 31}, {7, 29}, {11, 13}, {1, 30}}) {
    std::string swapped = example;
    ASSERT_NE(swapped[a], swapped[b]);
    std::swap(swapped[a], swapped[b]);
    Put(swapped);
    EXPECT_EQ(m_access.IsCheckSumValid(), 1) << a << "<->" << b;
  }
}

TEST_F(FileAccessTest, ShortFilesAreSummedWholeAgainstZero) {
  const struct {
    std::string stored;
    int valid;
  } cases[] = {
      {"", 1}, {"\xFF", 1}, {"\xFF\xFF\xFF", 1}, {"\xFE", 0}, {std::string("\xFF\x00\xFF", 3), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored.size());
    Put(c.stored);
    EXPECT_EQ(m_access.IsCheckSumValid(), c.valid);
  }
  // The empty file passes the checksum, then fails at its first char.
  Put("");
  ASSERT_EQ(m_access.IsCheckSumValid(), 1);
  EXPECT_EQ(m_access.LoadFileHeaders(), 0);
  ExpectLastError(1012, "Failed on first char [0]", kLoad);
  const std::vector<std::string> trace = TraceFrom("CFileAccess::IsCheckSumValid: Length is [0]");
  ASSERT_GE(trace.size(), 2u);
  EXPECT_EQ(trace[0], "CFileAccess::IsCheckSumValid: Length is [0], data size is [-4]");
  EXPECT_EQ(trace[1], "CFileAccess::IsCheckSumValid: Valid checksums File=[0] Calc=[0]");
}

TEST_F(FileAccessTest, AMissingContainerIsReportedByEachOperation) {
  m_access.SetContainerPath("\\Storage Card\\missing.bin");
  EXPECT_EQ(m_access.IsCheckSumValid(), 0);
  ExpectLastError(1001, "Cannot open for reading [\\Storage Card\\missing.bin]",
                  "CFileAccess::IsCheckSumValid:");
  const std::vector<std::string> trace = TraceFrom("LogAppError: Error Number [1018]");
  const std::vector<std::string> expected = {
      "LogAppError: Error Number [1018] in Function [CFileAccess::IsCheckSumValid:]",
      "LogAppError: Error [Cannot find [\\Storage Card\\missing.bin]]",
      "LogAppError: Error Number [1001] in Function [CFileAccess::IsCheckSumValid:]",
      "LogAppError: Error [Cannot open for reading [\\Storage Card\\missing.bin]]",
  };
  EXPECT_EQ(trace, expected);

  EXPECT_EQ(m_access.LoadFileHeaders(), 0);
  ExpectLastError(1001, "Failed to open [\\Storage Card\\missing.bin] = (2)", kLoad);
}

TEST_F(FileAccessTest, AContainerHeldOpenElsewhereCannotBeLoaded) {
  Put(ExampleStored());
  ASSERT_NE(Term().Files().OpenFor(77, kPackage, platform::kGenericRead, platform::kShareRead,
                                   platform::Disposition::kOpenExisting, 0),
            platform::kInvalidHandle);
  EXPECT_EQ(m_access.LoadFileHeaders(), 0);
  ExpectLastError(1001, "Failed to open [\\Storage Card\\install.bin] = (32)", kLoad);
  Term().Files().CloseAllOf(77);
}

TEST_F(FileAccessTest, BadHeaderPartsFailWithTheirNumberAndKeepEarlierHeaders) {
  const std::string mini = "\x1A" + Le32(0) + Le16(1);
  const std::string entry = Le32(22) + NameBytes(u"ab") + Le32(0) + Le32(3) + Le32(29);
  const std::string second = Le32(22) + NameBytes(u"cd") + Le32(0) + Le32(0) + Le32(29);
  const struct {
    const char* what;
    std::string logical;
    int number;
    std::string message;
    std::size_t headers;
  } cases[] = {
      {"another first char", "\x1B" + Le32(0) + Le16(1) + entry, 1012, "Failed on first char [27]",
       0},
      {"ends inside the size field", std::string("\x1A\x05\x00", 3), 1013,
       "Failed on header length [2]", 0},
      {"ends inside num", "\x1A" + Le32(0) + "\x01", 1014, "Failed to read number [1]", 0},
      {"ends after the mini header", mini, 1016,
       "CFileAccess::LoadFileHeaders: Failed to read header length [0]", 0},
      {"Len 0", mini + Le32(0) + entry, 1015, "Load buffer failed [0]", 0},
      {"Len 3", mini + Le32(3) + entry, 1015, "Load buffer failed [3]", 0},
      {"Len 4", mini + Le32(4) + entry, 1015, "Load buffer failed [4]", 0},
      {"Len 17", mini + Le32(17) + std::string(13, 'x') + entry, 1015, "Load buffer failed [17]",
       0},
      {"a name without a NUL unit", mini + Le32(22) + std::string(18, 'n') + entry, 1015,
       "Load buffer failed [22]", 0},
      {"a huge Len", mini + Le32(0xFFFFFFF0) + entry, 1029, "Failed to read header [-16]", 0},
      {"Len past the end", mini + Le32(1000) + std::string(100, 'x'), 1029,
       "Failed to read header [1000]", 0},
      {"num larger than the entries present", "\x1A" + Le32(0) + Le16(2) + entry + "xyz\x7F", 1029,
       "Failed to read header [2138732920]", 1},
      {"a bad third entry", "\x1A" + Le32(0) + Le16(3) + entry + second + Le32(2), 1015,
       "Load buffer failed [2]", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Put(Complemented(c.logical));
    ClearLastError();
    EXPECT_EQ(m_access.LoadFileHeaders(), 0);
    ExpectLastError(c.number, c.message, kLoad);
    EXPECT_EQ(m_access.HeaderCount(), c.headers);
  }
  EXPECT_EQ(m_access.Headers()[1]->Name, "cd");
  // The mini header is logged with what was read, also after a failure.
  Put(Complemented(std::string("\x1A\x05\x00", 3)));
  EXPECT_EQ(m_access.LoadFileHeaders(), 0);
  const std::vector<std::string> trace = Trace();
  EXPECT_EQ(trace[trace.size() - 2], "LogAppError: Error [Failed on header length [2]]");
  EXPECT_EQ(trace.back(), "CFileAccess::LoadFileHeaders: Loaded mini header - size=[5], num=[0]");
}

TEST_F(FileAccessTest, NumZeroStillLoadsOneEntry) {
  Put(ReferenceContainer({{u"ab", 0, "xyz"}, {u"cd", 0, "w"}}, 0, 0));
  EXPECT_EQ(m_access.LoadFileHeaders(), 1);
  ASSERT_EQ(m_access.HeaderCount(), 1u);
  EXPECT_EQ(m_access.Headers()[0]->Name, "ab");
}

TEST_F(FileAccessTest, NamesDifferingInCaseYieldTheFirst) {
  Put(ReferenceContainer({{u"Data.txt", 0, "first"}, {u"DATA.TXT", 0, "second"}}, 0));
  ASSERT_EQ(m_access.LoadFileHeaders(), 1);
  EXPECT_EQ(m_access.GetFileHeader("data.txt"), m_access.Headers()[0].get());
  std::string target;
  ASSERT_EQ(m_access.ExtractFile("data.TXT", "\\Windows", &target), 1);
  EXPECT_EQ(ReadFile(target), "first");
  EXPECT_EQ(m_access.GetFileHeader("data"), nullptr);
}

TEST_F(FileAccessTest, AMemberWithAPathIsFoundWholeAndExtractedAsItsLeaf) {
  Put(ReferenceContainer({{u"Apps\\Nav.exe", 0, "nav"}, {u"Empty.dat", 0, ""}}, 0));
  ASSERT_EQ(m_access.LoadFileHeaders(), 1);
  EXPECT_EQ(m_access.GetFileHeader("Nav.exe"), nullptr);
  for (const char* directory : {"\\Windows", "\\Windows\\"}) {
    SCOPED_TRACE(directory);
    std::string target;
    ASSERT_EQ(m_access.ExtractFile("Apps\\Nav.exe", directory, &target), 1);
    EXPECT_EQ(target, "\\Windows\\Nav.exe");
    EXPECT_EQ(ReadFile("\\Windows\\Nav.exe"), "nav");
  }
  // FileLen 0 gives an empty file, replacing what was there.
  WriteFile("\\Windows\\Empty.dat", "old contents");
  std::string target;
  ASSERT_EQ(m_access.ExtractFile("empty.dat", "\\Windows", &target), 1);
  EXPECT_TRUE(Exists("\\Windows\\Empty.dat"));
  EXPECT_EQ(ReadFile("\\Windows\\Empty.dat"), "");
}

TEST_F(FileAccessTest, ExtractionReportsWhatFailsAndANameNotFoundIsNoError) {
  Put(ExampleStored());
  ASSERT_EQ(m_access.LoadFileHeaders(), 1);
  std::string target;
  EXPECT_EQ(m_access.ExtractFile("zz", "\\Windows", &target), 0);
  EXPECT_EQ(g_pUtils->LastError().m_nLastError, 0);
  EXPECT_EQ(Trace().back(), "CFileAccess::ExtractFile: Finished [zz] into dir [\\Windows]=[1]");

  WriteFile("\\Windows\\ab", "locked");
  MakeReadOnly("\\Windows\\ab");
  EXPECT_EQ(m_access.ExtractFile("ab", "\\Windows", &target), 0);
  ExpectLastError(1017, "FAILED TO EXTRACT [ab] TO [\\Windows]", "CFileAccess::ExtractFile:");
  const std::vector<std::string> trace = TraceFrom("LogAppError: Error Number [1001]");
  const std::vector<std::string> expected = {
      "LogAppError: Error Number [1001] in Function [CFileAccess::ExtractFileFromBin:]",
      "LogAppError: Error [Cannot open for writing [\\Windows\\ab]]",
      "LogAppError: Error Number [1017] in Function [CFileAccess::ExtractFile:]",
      "LogAppError: Error [FAILED TO EXTRACT [ab] TO [\\Windows]]",
      "CFileAccess::ExtractFile: Finished [ab] into dir [\\Windows]=[0]",
  };
  EXPECT_EQ(trace, expected);
  EXPECT_EQ(ReadFile("\\Windows\\ab"), "locked");
}

TEST_F(FileAccessTest, PositionedReadsAreClippedAtTheMembersEnd) {
  Put(ReferenceContainer({{u"a", 0, "0123456789"}, {u"b", 0, "tail"}}, 0));
  ASSERT_EQ(m_access.LoadFileHeaders(), 1);
  const uint32_t a = m_access.Headers()[0]->Offset;
  const platform::Handle file =
      platform::Fs().Open(kPackage, platform::kGenericRead, platform::kShareNone,
                          platform::Disposition::kOpenExisting, 0);
  ASSERT_NE(file, platform::kInvalidHandle);
  const struct {
    uint32_t position;
    uint32_t count;
    ReadClip clip;
    std::string expected;
  } cases[] = {
      {a, 4, ReadClip::kToMember, "0123"},
      {a + 6, 100, ReadClip::kToMember, "6789"},
      {a + 10, 100, ReadClip::kToMember, ""},
      {a + 8, 0, ReadClip::kToMember, ""},
      {a + 8, 6, ReadClip::kUnclipped, "89tail"},
      {a + 30, 100, ReadClip::kToMember, ""},  // past the member: nothing, never more
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.position - a);
    std::string buffer(200, '?');
    uint32_t read = 99;
    EXPECT_EQ(CFileAccess::ReadFromFileOffset(file, reinterpret_cast<uint8_t*>(buffer.data()),
                                              c.position, a, 10, c.count, &read, c.clip),
              1);
    EXPECT_EQ(buffer.substr(0, read), c.expected);
  }
  platform::Fs().Close(file);

  // The last member lies right before the checksum and is extracted without it.
  std::string target;
  ASSERT_EQ(m_access.ExtractFile("b", "\\Windows", &target), 1);
  EXPECT_EQ(ReadFile(target), "tail");
}

TEST_F(FileAccessTest, ReadFailuresAreReportedAtEveryLevel) {
  Put(ExampleStored());
  // Opened for writing only, so that reads fail.
  const platform::Handle file =
      platform::Fs().Open(kPackage, platform::kGenericWrite, platform::kShareNone,
                          platform::Disposition::kOpenExisting, 0);
  ASSERT_NE(file, platform::kInvalidHandle);
  uint8_t buffer[8] = {};
  uint32_t read = 0;
  EXPECT_EQ(CFileAccess::ReadFromFile(file, buffer, 8, &read), 0);
  ExpectLastError(1010, "Failed to read [8]", "CFileAccess::ReadFromFile:");
  EXPECT_EQ(CFileAccess::ReadFromFileOffset(file, buffer, 3, 0, 100, 5, &read, ReadClip::kToMember),
            0);
  ExpectLastError(1011, "Cannot read from [3] for [5]", "CFileAccess::ReadFromFileOffset:");
  EXPECT_EQ(Trace()[Trace().size() - 3], "LogAppError: Error [Failed to read [5]]");
  platform::Fs().Close(file);
  EXPECT_EQ(CFileAccess::ReadFromFileOffset(file, buffer, 3, 0, 100, 5, &read, ReadClip::kToMember),
            0);
  ExpectLastError(1011, "Cannot set FilePointer [3]", "CFileAccess::ReadFromFileOffset:");
}

TEST_F(FileAccessTest, EachLoadStartsAfresh) {
  Put(ReferenceContainer({{u"a", 0, "1"}, {u"b", 0, "2"}}, 7));
  ASSERT_EQ(m_access.LoadFileHeaders(), 1);
  ASSERT_EQ(m_access.HeaderCount(), 2u);
  Put(ExampleStored());
  ASSERT_EQ(m_access.LoadFileHeaders(), 1);
  ASSERT_EQ(m_access.HeaderCount(), 1u);
  EXPECT_EQ(m_access.Headers()[0]->Name, "ab");
  EXPECT_EQ(m_access.MiniHeaderSize(), 0u);
}

}  // namespace
