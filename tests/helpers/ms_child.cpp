// A child process for the process runner tests. Its arguments are a list of steps, done in order:
//   out N        write N bytes to standard output (byte i is i % 251, so order and loss show)
//   err N        the same to the error output
//   sleep MS     sleep
//   exit K       end with exit code K
//   kill         end by SIGKILL
//   pid          print "pid:<own pid>\n" to standard output
//   fds          print "fds:" and the open descriptor numbers ("fds:0,1,2\n")
//   stdin        read standard input to its end and print "stdin:<bytes>\n"
//   closeout     close standard output and error output
//   args A...    print every remaining argument followed by "\n"
// Without an exit step the program ends with 0.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n <= 0) std::_Exit(99);
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

void WriteText(const std::string& text) { WriteAll(1, text.data(), text.size()); }

void WritePattern(int fd, unsigned long long count) {
  std::vector<char> piece(251 * 256);
  for (std::size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<char>(i % 251);
  while (count > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<unsigned long long>(count, piece.size()));
    WriteAll(fd, piece.data(), n);
    count -= n;
  }
}

std::string OpenDescriptors() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return "?";
  const int own = ::dirfd(dir);
  std::vector<int> fds;
  while (dirent* e = ::readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    const int fd = std::atoi(e->d_name);
    if (fd != own) fds.push_back(fd);
  }
  ::closedir(dir);
  std::sort(fds.begin(), fds.end());
  std::string text;
  for (std::size_t i = 0; i < fds.size(); ++i) text += (i ? "," : "") + std::to_string(fds[i]);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string step = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "0";
    if (step == "out" || step == "err") {
      WritePattern(step == "out" ? 1 : 2, std::strtoull(value, nullptr, 10));
      ++i;
    } else if (step == "sleep") {
      ::usleep(static_cast<useconds_t>(std::strtoul(value, nullptr, 10) * 1000));
      ++i;
    } else if (step == "exit") {
      return std::atoi(value);
    } else if (step == "kill") {
      ::kill(::getpid(), SIGKILL);
    } else if (step == "pid") {
      WriteText("pid:" + std::to_string(::getpid()) + "\n");
    } else if (step == "fds") {
      WriteText("fds:" + OpenDescriptors() + "\n");
    } else if (step == "stdin") {
      char buf[4096];
      long long total = 0;
      ssize_t n;
      while ((n = ::read(0, buf, sizeof buf)) > 0) total += n;
      WriteText("stdin:" + std::to_string(total) + "\n");
    } else if (step == "closeout") {
      ::close(1);
      ::close(2);
    } else if (step == "args") {
      for (++i; i < argc; ++i) WriteText(std::string(argv[i]) + "\n");
    } else {
      return 98;
    }
  }
  return 0;
}
