#include "platform/rpc/accounts.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/base/results.h"
#include "platform/text/utf.h"

namespace kavex::rpc {

const char kDefaultAccountsPath[] = "/etc/kavex-opc/accounts";

namespace {

bool SameNoCase(std::u16string_view a, std::u16string_view b) {
  return NtlmUpper(a) == NtlmUpper(b);
}

bool SameNoCase(std::string_view a, std::string_view b) {
  return SameNoCase(text::Utf8ToUtf16(a), text::Utf8ToUtf16(b));
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

DWORD AccountStore::Parse(std::string_view text, std::string* error) {
  accounts_.clear();
  size_t line_number = 0;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view()
                                         : text.substr(end + 1);
    ++line_number;
    if (size_t hash = line.find('#'); hash != std::string_view::npos) {
      line = line.substr(0, hash);
    }
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < line.size()) {
      while (i < line.size() &&
             (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) {
        ++i;
      }
      size_t start = i;
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' &&
             line[i] != '\r') {
        ++i;
      }
      if (i > start) words.push_back(line.substr(start, i - start));
    }
    if (words.empty()) continue;
    Account account;
    bool ok = words.size() == 3 && words[2].size() == 32;
    for (size_t k = 0; ok && k < 16; ++k) {
      int hi = HexValue(words[2][2 * k]);
      int lo = HexValue(words[2][2 * k + 1]);
      ok = hi >= 0 && lo >= 0;
      account.nt_hash[k] = static_cast<uint8_t>(hi << 4 | lo);
    }
    if (!ok) {
      *error = "line " + std::to_string(line_number) +
               ": expected \"user domain NT-hash\" (32 hex digits)";
      accounts_.clear();
      return ERROR_INVALID_DATA;
    }
    account.user = words[0];
    account.domain = words[1];
    Put(std::move(account));
  }
  return ERROR_SUCCESS;
}

DWORD AccountStore::Load(const std::string& path, uid_t owner,
                         std::string* error) {
  return LoadChecked(path, /*credential=*/false, owner, error);
}

DWORD AccountStore::LoadCredential(const std::string& path, uid_t self,
                                   std::string* error) {
  return LoadChecked(path, /*credential=*/true, self, error);
}

std::string ServerAccountsPath(const char* credentials_directory,
                               const char* configured, bool* credential) {
  *credential = credentials_directory != nullptr && *credentials_directory;
  if (*credential) return std::string(credentials_directory) + "/accounts";
  if (configured != nullptr && *configured) return configured;
  return kDefaultAccountsPath;
}

DWORD AccountStore::LoadChecked(const std::string& path, bool credential,
                                uid_t owner, std::string* error) {
  accounts_.clear();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    *error = path + ": " + strerror(errno);
    return errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
  }
  struct stat st = {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    *error = path + ": not a regular file";
    return ERROR_ACCESS_DENIED;
  }
  if (st.st_uid != owner && !(credential && st.st_uid == 0)) {
    close(fd);
    *error = path + ": owned by uid " + std::to_string(st.st_uid) +
             ", expected uid " + std::to_string(owner) + "; refusing it";
    return ERROR_ACCESS_DENIED;
  }
  if ((st.st_mode & (credential ? 037 : 077)) != 0) {
    close(fd);
    char mode[8];
    snprintf(mode, sizeof mode, "%04o",
             static_cast<unsigned>(st.st_mode & 07777));
    *error = path + ": mode " + mode +
             " lets other users see the hashes; it must be 0600";
    return ERROR_ACCESS_DENIED;
  }
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = path + ": " + strerror(errno);
      close(fd);
      return ERROR_CANTREAD;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
    if (text.size() > (1u << 20)) {
      close(fd);
      *error = path + ": larger than 1 MiB";
      return ERROR_INVALID_DATA;
    }
  }
  close(fd);
  DWORD result = Parse(text, error);
  if (result != ERROR_SUCCESS) *error = path + ": " + *error;
  return result;
}

std::string AccountStore::Format() const {
  std::string out =
      "# Accounts that may log on over the network: user domain NT-hash.\n"
      "# Managed with kavex-opc-account.\n";
  static const char kHex[] = "0123456789abcdef";
  for (const Account& a : accounts_) {
    out += a.user + " " + a.domain + " ";
    for (uint8_t b : a.nt_hash) {
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
    out += "\n";
  }
  return out;
}

DWORD AccountStore::Save(const std::string& path, std::string* error) const {
  std::string temporary = path + ".tmp." + std::to_string(getpid());
  int fd = open(temporary.c_str(),
                O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    *error = temporary + ": " + strerror(errno);
    return ERROR_CANTWRITE;
  }
  std::string text = Format();
  bool ok = fchmod(fd, 0600) == 0;
  size_t done = 0;
  while (ok && done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && fsync(fd) == 0;
  ok = (close(fd) == 0) && ok;
  if (!ok || rename(temporary.c_str(), path.c_str()) != 0) {
    *error = path + ": " + strerror(errno);
    unlink(temporary.c_str());
    return ERROR_CANTWRITE;
  }
  return ERROR_SUCCESS;
}

const Account* AccountStore::Find(std::u16string_view user,
                                  std::u16string_view domain) const {
  for (const Account& a : accounts_) {
    if (!SameNoCase(text::Utf8ToUtf16(a.user), user)) continue;
    if (domain.empty() || SameNoCase(text::Utf8ToUtf16(a.domain), domain)) {
      return &a;
    }
  }
  return nullptr;
}

void AccountStore::Put(Account account) {
  for (Account& a : accounts_) {
    if (SameNoCase(a.user, account.user) &&
        SameNoCase(a.domain, account.domain)) {
      a = std::move(account);
      return;
    }
  }
  accounts_.push_back(std::move(account));
}

bool AccountStore::Remove(std::string_view user, std::string_view domain) {
  for (auto it = accounts_.begin(); it != accounts_.end(); ++it) {
    if (SameNoCase(it->user, user) && SameNoCase(it->domain, domain)) {
      accounts_.erase(it);
      return true;
    }
  }
  return false;
}

}  // namespace kavex::rpc
