#include "platform/file/private_directory.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/base/results.h"
#include "platform/file/file.h"
#include "platform/file/system_calls.h"

namespace kavex::file {
namespace {

// The account's name and primary group, or false when it has none.
bool LookUpUser(uid_t uid, std::string* name, gid_t* gid) {
  std::vector<char> buffer(16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr)
    return false;
  *name = entry.pw_name;
  if (gid != nullptr) *gid = entry.pw_gid;
  return true;
}

std::string UserName(uid_t uid) {
  std::string name;
  if (LookUpUser(uid, &name, nullptr)) return name;
  return "uid " + std::to_string(uid);
}

std::string GroupName(gid_t gid) {
  std::vector<char> buffer(16384);
  struct group entry;
  struct group* found = nullptr;
  if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr)
    return entry.gr_name;
  return "gid " + std::to_string(gid);
}

// A user private group: the owner's primary group, named after the owner,
// with nobody else in it. Writable by the group then means by the owner.
bool IsPrivateGroupOf(gid_t gid, uid_t owner) {
  std::string owner_name;
  gid_t primary = 0;
  if (!LookUpUser(owner, &owner_name, &primary) || primary != gid) return false;
  std::vector<char> buffer(16384);
  struct group entry;
  struct group* found = nullptr;
  if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr || owner_name != entry.gr_name)
    return false;
  for (char** member = entry.gr_mem; *member != nullptr; ++member)
    if (owner_name != *member) return false;
  return true;
}

std::string Mode(mode_t mode) {
  char text[16];
  std::snprintf(text, sizeof(text), "%04o",
                static_cast<unsigned>(mode & 07777));
  return text;
}

}  // namespace

DWORD CheckPrivateDirectory(const std::string& path,
                            DirectoryProblem* problem) {
  *problem = DirectoryProblem{};
  std::string current;
  if (DWORD rc = CanonicalPath(path, &current); rc != ERROR_SUCCESS) return rc;
  const uid_t me = geteuid();
  for (bool asked = true;; asked = false) {
    struct stat st;
    if (Sys().lstat(current.c_str(), &st) != 0)
      return Win32ErrorFromErrno(errno);
    if (!S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
    auto refuse = [&](std::string reason, std::string fix) {
      problem->path = current;
      problem->reason = std::move(reason);
      problem->fix = std::move(fix);
      return ERROR_ACCESS_DENIED;
    };
    if (st.st_uid != 0 && st.st_uid != me) {
      return refuse("is owned by " + UserName(st.st_uid),
                    "run as " + UserName(st.st_uid) + ", or chown " +
                        UserName(me) + " " + current);
    }
    // In a parent with the sticky bit nobody can move the caller's entry.
    const bool sticky_parent = !asked && (st.st_mode & S_ISVTX) != 0;
    if ((st.st_mode & S_IWOTH) != 0 && !sticky_parent) {
      return refuse("is writable by every user (mode " + Mode(st.st_mode) + ")",
                    "chmod o-w " + current);
    }
    if ((st.st_mode & S_IWGRP) != 0 && !sticky_parent &&
        !IsPrivateGroupOf(st.st_gid, st.st_uid)) {
      return refuse("is writable by group " + GroupName(st.st_gid) + " (mode " +
                        Mode(st.st_mode) + ")",
                    "chmod g-w " + current);
    }
    if (current == "/") return ERROR_SUCCESS;
    current = DirectoryOf(current);
  }
}

}  // namespace kavex::file
