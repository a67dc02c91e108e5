// Runs a program as a child process with pipes for its standard streams,
// so that a test can type into it, signal it and read what it prints. Every
// wait has a deadline; a child still running at the end is killed.
#ifndef KAVEX_TESTS_E2E_CHILD_PROCESS_H_
#define KAVEX_TESTS_E2E_CHILD_PROCESS_H_

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kavex::e2e {

struct ChildOptions {
  bool close_stdin = false;  // no standard input at all
  uid_t uid = 0;             // 0: keep the test's user
  bool new_network = false;  // a network namespace of its own (root)
  // Environment variables set (or replaced) for the child.
  std::vector<std::pair<std::string, std::string>> env;
};

class ChildProcess {
 public:
  static constexpr auto kDeadline = std::chrono::seconds(30);

  ChildProcess(const std::string& path, const std::vector<std::string>& args,
               ChildOptions options = {}) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 ||
        pipe2(err, O_CLOEXEC) != 0) {
      return;
    }
    std::vector<std::string> all = args;
    all.insert(all.begin(), path);
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    // The environment is built before fork: the child only calls what is
    // safe between fork and exec.
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      std::string entry = *e;
      bool replaced = false;
      for (const auto& [name, value] : options.env) {
        replaced |= entry.rfind(name + "=", 0) == 0;
      }
      if (!replaced) env.push_back(entry);
    }
    for (const auto& [name, value] : options.env)
      env.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      if (options.close_stdin) {
        close(STDIN_FILENO);
      } else {
        dup2(in[0], STDIN_FILENO);
      }
      dup2(out[1], STDOUT_FILENO);
      dup2(err[1], STDERR_FILENO);
      if (options.new_network && unshare(CLONE_NEWNET) != 0) _exit(125);
      if (options.uid != 0 &&
          (setgid(options.uid) != 0 || setuid(options.uid) != 0)) {
        _exit(126);
      }
      execve(path.c_str(), argv.data(), envp.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    stdin_ = in[1];
    readers_.emplace_back([this, fd = out[0]] { Read(fd, &out_); });
    readers_.emplace_back([this, fd = err[0]] { Read(fd, &err_); });
  }

  ~ChildProcess() {
    if (pid_ > 0 && !ended_) {
      kill(pid_, SIGKILL);
      int status;
      waitpid(pid_, &status, 0);
    }
    CloseStdin();
    for (std::thread& t : readers_) t.join();
  }

  bool started() const { return pid_ > 0; }

  void Write(const std::string& text) {
    if (stdin_ >= 0) {
      [[maybe_unused]] ssize_t n = write(stdin_, text.data(), text.size());
    }
  }
  void CloseStdin() {
    if (stdin_ >= 0) close(stdin_);
    stdin_ = -1;
  }
  void Signal(int signo) {
    if (pid_ > 0 && !ended_) kill(pid_, signo);
  }

  std::string Output() {
    std::lock_guard<std::mutex> lock(mu_);
    return out_;
  }
  std::string Errors() {
    std::lock_guard<std::mutex> lock(mu_);
    return err_;
  }

  // Waits until standard output holds text `count` times; false at the
  // deadline.
  bool WaitForOutput(const std::string& text, int count = 1) {
    return WaitForOutputFor(text, kDeadline, count);
  }
  bool WaitForOutputFor(const std::string& text,
                        std::chrono::milliseconds timeout, int count = 1) {
    std::unique_lock<std::mutex> lock(mu_);
    return changed_.wait_for(lock, timeout,
                             [&] { return Count(out_, text) >= count; });
  }

  // Waits for the end and returns the wait status; kills the child at the
  // deadline and returns -1.
  int Wait() {
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        ended_ = true;
        for (std::thread& t : readers_) t.join();
        readers_.clear();
        return status;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return -1;
  }
  // The exit code, or -1 when it did not exit normally in time.
  int ExitCode() {
    int status = Wait();
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  static int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos;
         at = text.find(part, at + part.size())) {
      ++n;
    }
    return n;
  }

 private:
  void Read(int fd, std::string* into) {
    char buffer[4096];
    for (;;) {
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      std::lock_guard<std::mutex> lock(mu_);
      into->append(buffer, n);
      changed_.notify_all();
    }
    close(fd);
  }

  pid_t pid_ = -1;
  bool ended_ = false;
  int stdin_ = -1;
  std::mutex mu_;
  std::condition_variable changed_;
  std::string out_;
  std::string err_;
  std::vector<std::thread> readers_;
};

}  // namespace kavex::e2e

#endif  // KAVEX_TESTS_E2E_CHILD_PROCESS_H_
