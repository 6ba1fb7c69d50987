// The layering check: reads the #include lines of src/ and sim/ and fails, naming the file and
// the include, when a module of the updater includes a module above it, when the updater
// includes the simulator or the tools, when modules include each other in a circle, or when the
// files of one module do.
//
// The updater's modules are the folders of src/, in this order from the bottom up; a module may
// include itself and the modules below it. flash/driver is a module of its own, below
// everything but the platform, the text helpers and the digests (hash/). Inside a module, a file
// pair (flash/flash_part.h with flash/flash_part.cpp) is one node.
//
// The simulator's modules are its file pairs (sim/shell.h with sim/shell.cpp); they may include
// any module of the updater and each other, but never in a circle. Of the tools they may use
// only the library of the GPS image generator (tools/gps_images/), which the updater's build
// runs and which therefore includes nothing of the project but itself.
//
// common/ is the host side's shared ground (the simulator, the tools and the Win32 backend use
// it), so it includes nothing of the project but itself.
//
// Usage: check_layers SOURCE_DIR
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The one folder of the tools that the simulator may use.
constexpr const char* kGpsImages = "tools/gps_images/";

// Module ranks of the updater, bottom first. Modules of equal rank may not include each other.
const std::map<std::string, int> kRanks = {
    {"platform", 0}, {"text", 0},  {"hash", 0},     {"flash/driver", 1}, {"log", 1},
    {"ui", 1},       {"utils", 2}, {"settings", 3}, {"package", 4},      {"script", 5},
    {"flash", 6},    {"gps", 6},   {"update", 7},   {"app", 8},
};

struct Include {
  std::string file;  // relative to the source folder
  int line = 0;
  std::string target;  // as written between the quotes
};

std::vector<Include> ReadIncludes(const fs::path& root, const fs::path& file) {
  static const std::regex kInclude(R"(^\s*#\s*include\s*"([^"]+)\")");
  std::vector<Include> includes;
  std::ifstream in(file);
  std::string text;
  int number = 0;
  while (std::getline(in, text)) {
    ++number;
    std::smatch match;
    if (std::regex_search(text, match, kInclude)) {
      includes.push_back({fs::relative(file, root).generic_string(), number, match[1].str()});
    }
  }
  return includes;
}

// The updater module of a path below src/ ("update/sequence.cpp" -> "update"), or "" when the
// path lies in no known module.
std::string UpdaterModule(const std::string& path) {
  if (path.rfind("flash/driver/", 0) == 0) return "flash/driver";
  const std::size_t slash = path.find('/');
  if (slash == std::string::npos) return "";
  const std::string folder = path.substr(0, slash);
  return kRanks.contains(folder) ? folder : "";
}

// The file pair of a path ("sim/shell.cpp" -> "sim/shell").
std::string FilePair(const std::string& path) {
  return fs::path(path).replace_extension().generic_string();
}

bool IsSource(const fs::path& path) {
  const std::string extension = path.extension().string();
  return extension == ".h" || extension == ".cpp";
}

// Finds a circle in a graph of modules; returns it as a path that ends where it began.
std::vector<std::string> FindCircle(const std::map<std::string, std::set<std::string>>& edges) {
  std::map<std::string, int> state;  // 0 unvisited, 1 on the path, 2 done
  std::vector<std::string> path;
  std::vector<std::string> circle;
  std::function<bool(const std::string&)> visit = [&](const std::string& node) {
    state[node] = 1;
    path.push_back(node);
    const auto it = edges.find(node);
    if (it != edges.end()) {
      for (const std::string& next : it->second) {
        if (state[next] == 1) {
          const auto start = std::find(path.begin(), path.end(), next);
          circle.assign(start, path.end());
          circle.push_back(next);
          return true;
        }
        if (state[next] == 0 && visit(next)) return true;
      }
    }
    path.pop_back();
    state[node] = 2;
    return false;
  };
  for (const auto& [node, targets] : edges) {
    if (state[node] == 0 && visit(node)) return circle;
  }
  return {};
}

std::string Join(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& part : parts) out += (out.empty() ? "" : " -> ") + part;
  return out;
}

// The includes between the file pairs of one group (a module of the updater, the simulator),
// with one include that makes each edge.
struct FileGraph {
  std::map<std::string, std::set<std::string>> edges;
  std::map<std::pair<std::string, std::string>, Include> witness;

  void Add(const std::string& from, const std::string& to, const Include& include) {
    if (from == to) return;
    edges[from].insert(to);
    witness.emplace(std::pair(from, to), include);
  }

  // Reports a circle of the group with the include behind each step; true when there is one.
  bool ReportCircle(const std::string& what) const {
    const std::vector<std::string> circle = FindCircle(edges);
    if (circle.empty()) return false;
    std::cerr << what << " include each other in a circle: " << Join(circle) << "\n";
    for (std::size_t i = 0; i + 1 < circle.size(); ++i) {
      const Include& include = witness.at({circle[i], circle[i + 1]});
      std::cerr << "  " << include.file << ":" << include.line << ": #include \"" << include.target
                << "\"\n";
    }
    return true;
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: check_layers SOURCE_DIR\n";
    return 64;
  }
  const fs::path root = argv[1];
  int faults = 0;
  const auto fail = [&faults](const Include& include, const std::string& why) {
    std::cerr << include.file << ":" << include.line << ": #include \"" << include.target
              << "\": " << why << "\n";
    ++faults;
  };

  std::map<std::string, std::set<std::string>> srcEdges;
  std::map<std::string, FileGraph> moduleFiles;
  for (const auto& entry : fs::recursive_directory_iterator(root / "src")) {
    if (!entry.is_regular_file() || !IsSource(entry.path())) continue;
    const std::string path = fs::relative(entry.path(), root / "src").generic_string();
    const std::string from = UpdaterModule(path);
    if (from.empty()) continue;
    for (Include include : ReadIncludes(root, entry.path())) {
      if (include.target.rfind("sim/", 0) == 0 || include.target.rfind("tools/", 0) == 0) {
        fail(include, "the updater must not use the simulator or the tools");
        continue;
      }
      const std::string to = UpdaterModule(include.target);
      if (to.empty()) continue;
      if (to == from) {
        moduleFiles[from].Add(FilePair(path), FilePair(include.target), include);
        continue;
      }
      srcEdges[from].insert(to);
      if (kRanks.at(to) >= kRanks.at(from)) {
        fail(include, "module " + from + "/ must not include " + to + "/, which is not below it");
      }
    }
  }
  if (const auto circle = FindCircle(srcEdges); !circle.empty()) {
    std::cerr << "src/: modules include each other in a circle: " << Join(circle) << "\n";
    ++faults;
  }
  for (const auto& [module, files] : moduleFiles) {
    if (files.ReportCircle("src/" + module + "/: files")) ++faults;
  }

  FileGraph simFiles;
  for (const auto& entry : fs::directory_iterator(root / "sim")) {
    if (!entry.is_regular_file() || !IsSource(entry.path())) continue;
    const std::string path = fs::relative(entry.path(), root).generic_string();
    for (Include include : ReadIncludes(root, entry.path())) {
      if (include.target.rfind("tools/", 0) == 0 && include.target.rfind(kGpsImages, 0) != 0) {
        fail(include, "the simulator must not use the tools");
        continue;
      }
      if (include.target.rfind("sim/", 0) != 0) continue;
      simFiles.Add(FilePair(path), FilePair(include.target), include);
    }
  }
  for (const auto& entry : fs::directory_iterator(root / kGpsImages)) {
    if (!entry.is_regular_file() || !IsSource(entry.path())) continue;
    if (entry.path().stem() != "gps_images") continue;
    for (Include include : ReadIncludes(root, entry.path())) {
      if (include.target.rfind(kGpsImages, 0) != 0) {
        fail(include, "the GPS image generator's library must need nothing of the project");
      }
    }
  }
  if (simFiles.ReportCircle("sim/: parts")) ++faults;

  for (const auto& entry : fs::directory_iterator(root / "common")) {
    if (!entry.is_regular_file() || !IsSource(entry.path())) continue;
    for (Include include : ReadIncludes(root, entry.path())) {
      if (include.target.rfind("common/", 0) != 0) {
        fail(include, "common/ must need nothing of the project but itself");
      }
    }
  }

  if (faults != 0) {
    std::cerr << faults << " layering fault(s); the intended graph is in the README's "
              << "architecture section\n";
    return 1;
  }
  std::cout << "layering: src/ and sim/ include one way, between modules and between files; "
            << "common/ stands alone\n";
  return 0;
}
