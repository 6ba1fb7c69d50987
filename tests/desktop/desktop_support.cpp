#include "desktop/desktop_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <ostream>
#include <random>
#include <sstream>

#include "app/vostrel_app.h"
#include "log/log.h"
#include "package/container_format.h"
#include "settings/settings.h"
#include "sim/desktop_peer.h"
#include "utils/utils.h"

extern char** environ;

namespace desktop_testing {

namespace fs = std::filesystem;

std::string RandomBytes(std::size_t count, uint32_t seed) {
  std::mt19937 generator(seed);
  std::string bytes(count, '\0');
  for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
  return bytes;
}

std::vector<std::string> LogEntries(const std::string& logText) {
  std::vector<std::string> lines;
  std::istringstream in(logText);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() < 10 || line[2] != ':' || line.compare(8, 2, "  ") != 0) continue;
    line.erase(0, 10);
    if (line.rfind("Current date", 0) == 0) continue;
    lines.push_back(line);
  }
  return lines;
}

std::vector<LoggedError> LoggedErrors(const std::string& logText) {
  static const std::string kNumber = "LogAppError: Error Number [";
  static const std::string kFunction = "] in Function [";
  static const std::string kMessage = "LogAppError: Error [";
  std::vector<LoggedError> errors;
  const std::vector<std::string> lines = LogEntries(logText);
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    const std::string& head = lines[i];
    const std::string& body = lines[i + 1];
    if (head.rfind(kNumber, 0) != 0 || body.rfind(kMessage, 0) != 0) continue;
    const std::size_t split = head.find(kFunction);
    if (split == std::string::npos) continue;
    LoggedError error;
    error.number = std::stoi(head.substr(kNumber.size(), split - kNumber.size()));
    const std::size_t start = split + kFunction.size();
    error.function = head.substr(start, head.size() - start - 1);
    error.message = body.substr(kMessage.size(), body.size() - kMessage.size() - 1);
    errors.push_back(error);
  }
  return errors;
}

void PrintTo(const LoggedError& error, std::ostream* out) {
  *out << error.number << " " << error.function << " \"" << error.message << "\"";
}

ScriptedDesktop::ScriptedDesktop(sim::Terminal& terminal, std::vector<Reply> replies)
    : m_terminal(terminal), m_replies(std::move(replies)) {
  sim::Scheduler& clock = terminal.Clock();
  terminal.Files().SetRefusalPause(sim::kDesktopProcess, [&clock] { clock.SleepFor(1); });
  clock.Spawn(sim::kDesktopProcess, [this] { Serve(); });
}

ScriptedDesktop::~ScriptedDesktop() {
  m_terminal.Clock().EndProcess(sim::kDesktopProcess);
  m_terminal.Files().CloseAllOf(sim::kDesktopProcess);
  m_terminal.Files().SetRefusalPause(sim::kDesktopProcess, nullptr);
}

void ScriptedDesktop::Serve() {
  sim::SimFolder folder(m_terminal.Files());
  sim::Scheduler& clock = m_terminal.Clock();
  const auto text = [](const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
  };
  const auto bytes = [](const std::string& s) {
    return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  };
  for (const Reply& reply : m_replies) {
    while (!folder.Exists("fromhht.ok")) clock.SleepFor(5);
    std::vector<uint8_t> data;
    std::vector<uint8_t> flag;
    folder.Read("fromhht.txt", &data);
    folder.Read("fromhht.ok", &flag);
    (void)folder.Delete("fromhht.ok");
    (void)folder.Delete("fromhht.txt");
    m_seen.push_back({text(data), text(flag), clock.Now()});
    switch (reply.kind) {
      case Reply::Kind::kNothing:
        break;
      case Reply::Kind::kLookingNo:
        (void)folder.Write("looking.no", {});
        break;
      case Reply::Kind::kAnswer:
        if (reply.cacheAsFolder) {
          m_terminal.Files().CreateFolder("\\cache.bin");
        } else if (reply.cache) {
          (void)folder.Write("cache.bin", bytes(*reply.cache));
        }
        (void)folder.Write("tohht.txt", bytes(reply.response));
        if (reply.holdFlagMs == 0) {
          (void)folder.Write("tohht.ok", {});
          break;
        }
        (void)folder.Write("tohht.ok", {}, sim::Keep::kHeld);
        clock.SleepFor(reply.holdFlagMs);
        folder.Release();
        m_releasedAt = clock.Now();
        break;
    }
  }
}

RealtimeTerminal::RealtimeTerminal(const fs::path& dir) {
  if (sim::Status created = sim::Terminal::Init(dir); !created) {
    m_error = created.error();
    return;
  }
  auto opened = sim::Terminal::Open(dir, sim::ClockMode::kRealtime);
  if (!opened) {
    m_error = opened.error();
    return;
  }
  m_terminal = std::move(*opened);
  m_terminal->Install();
  m_terminal->Clock().AttachMainThread(sim::kUpdaterProcess);
  m_run = std::make_unique<CRunContext>();
  m_run->m_log.SetDebugLevel(3);
  m_run->m_log.Setup(true, "Flash disk2\\Vostrel.log", false);
}

RealtimeTerminal::~RealtimeTerminal() {
  if (!m_terminal) return;
  m_run.reset();
  m_terminal->Clock().EndProcess(sim::kUpdaterProcess);
  m_terminal->Uninstall();
}

fs::path RealtimeTerminal::Root() const { return m_terminal->Files().Root(); }

ServeChild::ServeChild(const std::string& binary, const std::vector<std::string>& arguments,
                       fs::path root, fs::path output)
    : m_root(std::move(root)), m_output(std::move(output)) {
  std::vector<std::string> words = {binary};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, m_output.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) return;
  m_pid = pid;
  m_watcher = std::thread([this] {
    // Seen ended but not yet reaped: until the flag is set the id cannot go to another process.
    siginfo_t info = {};
    while (::waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOWAIT) < 0 &&
           errno == EINTR) {
    }
    {
      std::lock_guard lock(m_mutex);
      m_exited = true;
    }
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_status = status;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::ofstream(m_root / "abort.me", std::ios::binary);
    }
  });
}

ServeChild::~ServeChild() {
  if (!m_watcher.joinable()) return;
  {
    std::lock_guard lock(m_mutex);
    if (!m_exited) ::kill(m_pid, SIGTERM);
  }
  m_watcher.join();
}

int ServeChild::Finish() {
  if (!m_watcher.joinable()) return -1;
  m_watcher.join();
  return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1;
}

std::string ServeChild::Output() const {
  std::ifstream in(m_output, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

}  // namespace desktop_testing
