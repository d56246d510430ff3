// Test support: temporary collection trees and runs of the real program.
#include "support/collection.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace fs = std::filesystem;

namespace test {

const char kReleaseDocument[] =
    "Quormel SID Collection\n"
    "======================\n"
    "\n"
    "The collection of tunes for the C64 SID chip\n"
    "                                   release 1.6\n"
    "\n"
    "Read this file first.\n";

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tuvo_test.XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp " << pattern;
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests make parts of the tree unreadable; give them back first.
  for (auto it = fs::recursive_directory_iterator(path_, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) chmod(it->path().c_str(), 0755);
  }
  chmod(path_.c_str(), 0755);
  fs::remove_all(path_, ec);
}

void make_dirs(const std::string& path) { fs::create_directories(path); }

void write_file(const std::string& path, std::string_view contents) {
  const fs::path p(path);
  if (p.has_parent_path()) fs::create_directories(p.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.is_open()) << "cannot read " << path;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string psid_file(std::string_view title, std::size_t data_size) {
  std::string bytes(0x7c, '\0');
  bytes.replace(0, 4, "PSID");
  bytes[5] = 2;        // version
  bytes[7] = 0x7c;     // data offset
  bytes[0x0f] = 1;     // songs
  bytes[0x11] = 1;     // start song
  const std::size_t n = std::min<std::size_t>(title.size(), 32);
  bytes.replace(22, n, title.substr(0, n));
  bytes.replace(54, 7, "Someone");
  bytes.replace(86, 4, "1997");
  for (std::size_t i = 0; i < data_size; ++i) bytes += static_cast<char>((i * 7 + title.size()) & 0xff);
  return bytes;
}

void write_tune(const std::string& path, std::string_view title) { write_file(path, psid_file(title)); }

std::vector<std::string> list_tree(const std::string& dir) {
  std::vector<std::string> paths;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::string rel = fs::relative(it->path(), dir).string();
    if (it->is_symlink(ec)) {
      rel += '@';
    } else if (it->is_directory(ec)) {
      rel += '/';
    }
    paths.push_back(rel);
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

namespace {

void drain(int fd, std::string& into, bool& open) {
  char buf[4096];
  const ssize_t n = read(fd, buf, sizeof buf);
  if (n > 0) {
    into.append(buf, static_cast<std::size_t>(n));
  } else {
    open = false;
  }
}

// Writes |input| to the program's standard input and closes it. The
// program may have exited already without reading it (an undo that refuses
// its record before asking): the write then fails with EPIPE, and the
// SIGPIPE it raises in this thread is held back and discarded, so that it
// never ends the test binary. The signal's disposition is left alone, as
// the programs started later inherit it.
void send_input(int fd, std::string_view input) {
  sigset_t pipe_signal, before;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, &before);
  bool broken = false;
  std::size_t sent = 0;
  while (sent < input.size()) {
    const ssize_t n = write(fd, input.data() + sent, input.size() - sent);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      broken = errno == EPIPE;
      break;
    }
    sent += static_cast<std::size_t>(n);
  }
  close(fd);
  if (broken && !sigismember(&before, SIGPIPE)) {
    const timespec now{0, 0};
    while (sigtimedwait(&pipe_signal, nullptr, &now) == SIGPIPE) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace

RunResult run_tuvo(const std::string& dir, std::string_view input, const RunOptions& options) {
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) {
    ADD_FAILURE() << "pipe";
    return {};
  }
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    if (options.stdout_closed) close(1);
    if (options.stdout_full) {
      const int full = open("/dev/full", O_WRONLY);
      if (full < 0 || dup2(full, 1) < 0) _exit(126);
      close(full);
    }
    if (chdir(dir.c_str()) != 0) _exit(126);
    ::umask(options.umask);
    if (!options.path.empty()) setenv("PATH", options.path.c_str(), 1);
    std::vector<const char*> argv;
    if (options.unprivileged) {
      for (const char* a : {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}) argv.push_back(a);
    }
    argv.push_back(options.unprivileged ? TUVO_2_BINARY : "tuvo_2");
    for (const std::string& a : options.args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    execv(options.unprivileged ? "/usr/bin/setpriv" : TUVO_2_BINARY, const_cast<char* const*>(argv.data()));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  send_input(in[1], input);

  RunResult result;
  bool out_open = true, err_open = true;
  int lines = 0;
  bool signalled = false;
  std::size_t counted = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
  while (out_open || err_open) {
    pollfd fds[2] = {{out_open ? out[0] : -1, POLLIN, 0}, {err_open ? err[0] : -1, POLLIN, 0}};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const int ready = poll(fds, 2, static_cast<int>(std::max<long>(left.count(), 0)));
    if (ready == 0) {
      ADD_FAILURE() << "the program did not end within " << options.timeout_seconds << " s";
      kill(pid, SIGKILL);
      break;
    }
    if (ready < 0) break;
    if (fds[0].revents != 0) drain(out[0], result.out, out_open);
    if (fds[1].revents != 0) drain(err[0], result.err, err_open);
    for (std::size_t end; (end = result.out.find('\n', counted)) != std::string::npos; counted = end + 1) {
      ++lines;
    }
    if (options.signal_after_lines > 0 && lines >= options.signal_after_lines && !signalled) {
      kill(pid, options.signal);
      signalled = true;
    }
    if (options.close_output_after_lines > 0 && lines >= options.close_output_after_lines && out_open) {
      close(out[0]);
      out[0] = -1;
      out_open = false;
    }
  }
  if (out[0] >= 0) close(out[0]);
  close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return result;
}

void make_collection(const std::string& dir, int tunes, unsigned seed, int duplicates_percent) {
  const std::string command = std::string(MAKE_COLLECTION_BINARY) + " '" + dir + "' --tunes=" +
                              std::to_string(tunes) + " --seed=" + std::to_string(seed) +
                              " --duplicates=" + std::to_string(duplicates_percent) + " >/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

std::map<std::string, std::string> files_under(const std::string& dir) {
  std::map<std::string, std::string> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file(ec) && !it->is_symlink(ec)) {
      files[fs::relative(it->path(), dir).string()] = read_file(it->path().string());
    }
  }
  return files;
}

bool is_tune(const std::string& path, const std::string& bytes) {
  std::string lower = path;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower.find(".dat") != std::string::npos && bytes.compare(0, 4, "PSID") == 0;
}

std::string with_time_masked(std::string out) {
  static const std::regex time("Conversion time = [0-9.e+]+ seconds");
  return std::regex_replace(out, time, "Conversion time = T seconds");
}

std::string mv_line(std::string_view from, std::string_view to) {
  return "renamed '" + std::string(from) + "' -> '" + std::string(to) + "'\n";
}

CollectionTest::CollectionTest() : root_(tmp_.path() + "/c64music") {
  write_file(at("documnts/qm_sids.txt"), kReleaseDocument);
  make_dirs(at("PELKORA"));
}

InTempDirTest::InTempDirTest() : old_cwd_(fs::current_path()) {
  fs::current_path(tmp_.path());
}

InTempDirTest::~InTempDirTest() { fs::current_path(old_cwd_); }

std::string captured_stdout(const std::function<void()>& action) {
  std::cout.flush();
  ::testing::internal::CaptureStdout();
  action();
  std::cout.flush();
  return ::testing::internal::GetCapturedStdout();
}

int in_child_with_file_size_limit(std::size_t max_file_size, const std::function<int()>& action) {
  std::cout.flush();
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{max_file_size, max_file_size};
    setrlimit(RLIMIT_FSIZE, &limit);
    const int result = action();
    std::cout.flush();
    _exit(result & 0xff);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? static_cast<signed char>(WEXITSTATUS(status)) : -1000;
}

ScopedTmpfs::ScopedTmpfs(const std::string& where, const std::string& options, unsigned long flags) : where_(where) {
  mounted_ = mount("tmpfs", where.c_str(), "tmpfs", flags, options.c_str()) == 0;
}

ScopedTmpfs::~ScopedTmpfs() {
  if (mounted_) umount2(where_.c_str(), MNT_DETACH);
}

bool ScopedTmpfs::leave_free(std::size_t spare) {
  struct statvfs s;
  if (statvfs(where_.c_str(), &s) != 0) return false;
  const std::size_t used = (s.f_blocks - s.f_bfree) * s.f_frsize;
  const std::string size = "size=" + std::to_string(used + spare);
  return mount("tmpfs", where_.c_str(), "tmpfs", MS_REMOUNT, size.c_str()) == 0;
}

namespace {

// Opens without touching the access time (the tests run as root, who may).
int open_quietly(int dir_fd, const char* name, int flags) {
  const int fd = openat(dir_fd, name, flags | O_NOATIME | O_CLOEXEC);
  return fd >= 0 ? fd : openat(dir_fd, name, flags | O_CLOEXEC);
}

void snapshot_into(int dir_fd, const std::string& rel, bool with_access_times, std::vector<std::string>& lines) {
  const int fd = open_quietly(dir_fd, ".", O_RDONLY | O_DIRECTORY);
  DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
  if (dir == nullptr) return;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (fstatat(dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    const std::string path = rel.empty() ? name : rel + "/" + name;
    std::ostringstream line;
    line << path << ' ' << std::oct << st.st_mode << std::dec << ' ' << st.st_size << ' ' << st.st_mtim.tv_sec << '.'
         << st.st_mtim.tv_nsec << ' ' << st.st_ctim.tv_sec << '.' << st.st_ctim.tv_nsec;
    if (with_access_times) line << ' ' << st.st_atim.tv_sec << '.' << st.st_atim.tv_nsec;
    if (S_ISREG(st.st_mode)) {
      std::string bytes;
      if (const int file = open_quietly(dirfd(dir), name.c_str(), O_RDONLY | O_NONBLOCK); file >= 0) {
        char buf[1 << 16];
        for (ssize_t n; (n = read(file, buf, sizeof buf)) > 0;) bytes.append(buf, static_cast<std::size_t>(n));
        close(file);
      }
      line << ' ' << std::hash<std::string>{}(bytes);
    }
    lines.push_back(line.str());
    if (S_ISDIR(st.st_mode)) {
      const int sub = open_quietly(dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY);
      if (sub >= 0) {
        snapshot_into(sub, path, with_access_times, lines);
        close(sub);
      }
    }
  }
  closedir(dir);
}

}  // namespace

std::string snapshot(const std::string& dir, bool with_access_times) {
  std::vector<std::string> lines;
  struct stat root;
  if (stat(dir.c_str(), &root) == 0) {
    std::ostringstream line;
    line << ". " << std::oct << root.st_mode << std::dec << ' ' << root.st_mtim.tv_sec << '.' << root.st_mtim.tv_nsec;
    if (with_access_times) line << ' ' << root.st_atim.tv_sec << '.' << root.st_atim.tv_nsec;
    lines.push_back(line.str());
  }
  const int fd = open_quietly(AT_FDCWD, dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd >= 0) {
    snapshot_into(fd, "", with_access_times, lines);
    close(fd);
  }
  std::sort(lines.begin(), lines.end());
  std::string all;
  for (const std::string& line : lines) all += line + '\n';
  return all;
}

unsigned mode_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

bool CollectionTest::lay_out_unreadable(RunOptions& as_nobody) {
  if (access("/usr/bin/setpriv", X_OK) != 0) return false;
  write_tune(at("games/a-f/OPEN.DAT"), "Open");
  write_tune(at("games/a-f/SECRET.DAT"), "Secret");
  write_tune(at("locked/HIDDEN.DAT"), "Hidden");
  EXPECT_EQ(chmod(tmp_.path().c_str(), 0755), 0);
  EXPECT_EQ(std::system(("chown -R 65534:65534 '" + root_ + "'").c_str()), 0);
  EXPECT_EQ(chmod(at("games/a-f/SECRET.DAT").c_str(), 0), 0);
  EXPECT_EQ(chmod(at("locked").c_str(), 0), 0);
  as_nobody.unprivileged = true;
  return true;
}

std::string CollectionTest::at(std::string_view relative) const {
  return root_ + "/" + std::string(relative);
}

const char kBanner[] =
    "TUVO_2/Linux \t\t\t\t\t\tDate: September 10, 1997\n\n"
    "For TUVO_2 to work correctly, you must unzip/copy the tool directly\n"
    "within the Quormel SIDs main directory (named 'c64music' if you haven't\n"
    "renamed it).  Once you have done this you should have the file under a\n"
    "similar path as the following:\tc64music/tuvo_2\n"
    "The device can vary as well as the name of the main QM SIDs directory.  In\n"
    "addition, the main QM SIDs directory doesn't have to be at the root.\n\n"
    "This tool will convert Quormel SID Collection (TUVO) 1.6 to long file\n"
    "names and long directory names.\n"
    "The file names will use 27 characters for the base filename, and 4 charcters\n"
    "for the extension (a total of 31 characters).  The new TUVO standard extension\n"
    "is \".sid\" which will also be handled by the this tool.  Directory names will be\n"
    "limited to 30 characters.  All of these numbers are based on a common\n"
    "denominator from four major OSes: Win95, AmigaOS, Linux/Unix, and MacOS.\n"
    "Further, all filenames will consist purely of the following characters:\n"
    "A-Z a-z 0-9 _ (underscore) - (dash) and a period (the extension separator).\n"
    "These choices should ensure future portability to other OSes.  MSDOS style\n"
    "filenames (8.3) will no longer be supported by the TUVO crew.  The audience for\n"
    "8.3 OSes is no longer large enough to focus on.  People using 8.3 OSes will\n"
    "still be able to hear the new sids in the updates, however.  A general long\n"
    "file sid renaming tool will be spawned from this tool in the very near future.\n\n";

const char kFirstQuestion[] = "(Don't forget to backup QM SIDs!) Do you wish to continue? (Y/N) > ";

const char kSuccess[] = "\nConversion was successful!  Enjoy TUVO 2.0!\n";

std::vector<std::pair<std::string, std::string>> leave_last_batch_in_hand(const std::string& root) {
  const std::string record_path = root + "/tuvo_2.undo";
  std::istringstream record(read_file(record_path));
  std::vector<nlohmann::json> batch;  // the tunes' entries
  std::string kept;                   // the record less its end line
  for (std::string line; std::getline(record, line);) {
    const auto j = nlohmann::json::parse(line);
    if (j.contains("end")) continue;
    kept += line + "\n";
    if (j.contains("batch")) {
      batch.clear();
    } else if (j.contains("tune")) {
      batch.push_back(j["tune"]);
    } else if (j.contains("cancel")) {
      std::erase_if(batch, [&](const nlohmann::json& tune) { return tune["to"] == j["cancel"]["to"]; });
    }
  }
  write_file(record_path, kept);
  std::vector<std::pair<std::string, std::string>> tunes;
  for (const nlohmann::json& tune : batch) {
    const std::string from = root + "/" + tune["from"].get<std::string>();
    write_file(from, read_file(root + "/" + tune["to"].get<std::string>()));
    EXPECT_EQ(chmod(from.c_str(), tune["mode"].get<mode_t>()), 0);
    const timespec times[2] = {{0, UTIME_OMIT}, {tune["mtime"][0].get<time_t>(), tune["mtime"][1].get<long>()}};
    EXPECT_EQ(utimensat(AT_FDCWD, from.c_str(), times, 0), 0);
    tunes.emplace_back(tune["from"], tune["to"]);
  }
  if (batch.size() > 1) std::filesystem::remove(root + "/" + batch.back()["to"].get<std::string>());
  return tunes;
}

}  // namespace test
