// The accounts that may log on over the network: one line per account,
// "user domain NT-hash" (the NT hash as 32 hex digits; no passwords are
// kept), '#' starting a comment. The file is root's with mode 0600 by
// default: Load refuses a file that others may read or write, or that
// another user owns, with a message saying so. Save writes a temporary file
// with mode 0600 beside it and renames it over the old one.
#ifndef KAVEX_PLATFORM_RPC_ACCOUNTS_H_
#define KAVEX_PLATFORM_RPC_ACCOUNTS_H_

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/base/types.h"
#include "platform/rpc/ntlm.h"

namespace kavex::rpc {

// "/etc/kavex-opc/accounts".
extern const char kDefaultAccountsPath[];

struct Account {
  std::string user;  // UTF-8
  std::string domain;
  Key16 nt_hash = {};
};

class AccountStore {
 public:
  // Reads `path`, which `owner` must own with no group or other bits.
  // ERROR_SUCCESS; ERROR_FILE_NOT_FOUND (an empty store); ERROR_ACCESS_DENIED
  // for loose modes or another owner; ERROR_INVALID_DATA for a bad line.
  // *error says which in words.
  DWORD Load(const std::string& path, uid_t owner, std::string* error);
  // Reads the copy of the accounts file a service manager handed over as a
  // credential (systemd's LoadCredential=, in $CREDENTIALS_DIRECTORY): a
  // private, read-only copy that belongs to `self` (the service's user) or
  // to root with an access-control entry for `self`, so either owner is
  // taken and group read bits (the ACL's mask) are too; any other bit is
  // refused as for Load.
  DWORD LoadCredential(const std::string& path, uid_t self, std::string* error);
  // Parses the text of an accounts file (no file checks).
  DWORD Parse(std::string_view text, std::string* error);
  // The text Save writes.
  std::string Format() const;
  // Writes atomically with mode 0600.
  DWORD Save(const std::string& path, std::string* error) const;

  // The account for a logon: user names compare without case; a domain
  // matches without case, and an empty domain from the client matches any.
  const Account* Find(std::u16string_view user,
                      std::u16string_view domain) const;
  // Adds or replaces (same user and domain, without case).
  void Put(Account account);
  // False when there was none.
  bool Remove(std::string_view user, std::string_view domain);
  const std::vector<Account>& accounts() const { return accounts_; }

 private:
  DWORD LoadChecked(const std::string& path, bool credential, uid_t owner,
                    std::string* error);

  std::vector<Account> accounts_;
};

// The accounts file the server reads: $CREDENTIALS_DIRECTORY/accounts when
// the service manager names a credentials directory (`credentials_directory`
// not null or empty; *credential set), else `configured` ($KAVEX_OPC_ACCOUNTS)
// when not null or empty, else kDefaultAccountsPath.
std::string ServerAccountsPath(const char* credentials_directory,
                               const char* configured, bool* credential);

}  // namespace kavex::rpc

#endif  // KAVEX_PLATFORM_RPC_ACCOUNTS_H_
