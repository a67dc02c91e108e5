#include "platform/rpc/account_tool.h"

#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/base/results.h"
#include "platform/rpc/accounts.h"
#include "platform/text/utf.h"

namespace kavex::rpc {

namespace {

void Usage(FILE* err) {
  fprintf(err,
          "usage: kavex-opc-account [--file PATH] add USER DOMAIN\n"
          "       kavex-opc-account [--file PATH] remove USER DOMAIN\n"
          "       kavex-opc-account [--file PATH] list\n"
          "The password is read from the terminal, or from standard input.\n");
}

bool ReadLine(FILE* in, std::string* line) {
  line->clear();
  int c;
  while ((c = fgetc(in)) != EOF && c != '\n') {
    if (line->size() > 1024) return false;
    line->push_back(static_cast<char>(c));
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return c != EOF || !line->empty();
}

// From the terminal without echo, or a line of a pipe.
bool ReadPassword(FILE* in, FILE* err, const char* prompt, std::string* out) {
  int fd = fileno(in);
  if (!isatty(fd)) return ReadLine(in, out);
  termios saved = {};
  tcgetattr(fd, &saved);
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  fprintf(err, "%s", prompt);
  fflush(err);
  tcsetattr(fd, TCSAFLUSH, &quiet);
  bool ok = ReadLine(in, out);
  tcsetattr(fd, TCSAFLUSH, &saved);
  fprintf(err, "\n");
  return ok;
}

bool ValidName(const std::string& s) {
  if (s.empty() || s.size() > 256) return false;
  for (unsigned char c : s) {
    if (c <= ' ' || c == '#') return false;
  }
  return true;
}

}  // namespace

int RunAccountTool(int argc, char** argv, FILE* in, FILE* out, FILE* err) {
  std::string path = kDefaultAccountsPath;
  if (const char* env = getenv("KAVEX_OPC_ACCOUNTS"); env && *env) path = env;
  int i = 1;
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    Usage(out);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    fprintf(out, "kavex-opc-account %s\n", KAVEX_VERSION);
    return 0;
  }
  if (i + 1 < argc && std::strcmp(argv[i], "--file") == 0) {
    path = argv[i + 1];
    i += 2;
  }
  if (i >= argc) {
    Usage(err);
    return 2;
  }
  std::string command = argv[i++];
  int rest = argc - i;
  if (!((command == "list" && rest == 0) ||
        ((command == "add" || command == "remove") && rest == 2))) {
    Usage(err);
    return 2;
  }
  AccountStore store;
  std::string error;
  // The tool runs as the file's owner: root for the system's file.
  DWORD loaded = store.Load(path, geteuid(), &error);
  if (loaded != ERROR_SUCCESS && loaded != ERROR_FILE_NOT_FOUND) {
    fprintf(err, "kavex-opc-account: %s\n", error.c_str());
    return 1;
  }
  if (command == "list") {
    for (const Account& a : store.accounts()) {
      fprintf(out, "%s\\%s\n", a.domain.c_str(), a.user.c_str());
    }
    return 0;
  }
  std::string user = argv[i], domain = argv[i + 1];
  if (!ValidName(user) || !ValidName(domain)) {
    fprintf(err,
            "kavex-opc-account: user and domain must be non-empty, without "
            "blanks or '#'\n");
    return 2;
  }
  if (command == "remove") {
    if (!store.Remove(user, domain)) {
      fprintf(err, "kavex-opc-account: no account %s\\%s\n", domain.c_str(),
              user.c_str());
      return 1;
    }
  } else {
    std::string password, again;
    if (!ReadPassword(in, err, "Password: ", &password)) {
      fprintf(err, "kavex-opc-account: no password given\n");
      return 1;
    }
    if (isatty(fileno(in))) {
      if (!ReadPassword(in, err, "Again: ", &again) || again != password) {
        fprintf(err, "kavex-opc-account: the passwords differ\n");
        return 1;
      }
    }
    if (password.empty()) {
      fprintf(err, "kavex-opc-account: an empty password is refused\n");
      return 1;
    }
    Account account;
    account.user = user;
    account.domain = domain;
    account.nt_hash = NtOwfV1(text::Utf8ToUtf16(password));
    std::fill(password.begin(), password.end(), '\0');
    store.Put(std::move(account));
  }
  if (store.Save(path, &error) != ERROR_SUCCESS) {
    fprintf(err, "kavex-opc-account: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

}  // namespace kavex::rpc
