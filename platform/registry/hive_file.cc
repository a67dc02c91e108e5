#include "platform/registry/hive_file.h"

#include "platform/base/results.h"
#include "platform/file/private_directory.h"
#include "platform/log/logger.h"

namespace kavex::registry {
namespace {

constexpr char kCategory[] = "registry";

// What a registry caller gets for a failed file operation: a denied access
// as it is, anything else as the registry's own "could not read / write".
LONG RegistryError(DWORD file_error, LONG fallback) {
  return file_error == ERROR_ACCESS_DENIED ? ERROR_ACCESS_DENIED : fallback;
}

}  // namespace

LONG HiveFile::CheckDirectory() {
  const std::string dir = file::DirectoryOf(path_);
  file::DirectoryProblem problem;
  const DWORD rc = file::CheckPrivateDirectory(dir, &problem);
  if (rc == ERROR_SUCCESS) {
    reported_.clear();
    return ERROR_SUCCESS;
  }
  std::string message;
  if (rc == ERROR_ACCESS_DENIED) {
    message = "the registry root " + dir;
    if (problem.path != dir) message += " lies in " + problem.path + ", which";
    message += " " + problem.reason +
               "; the registry is not used there, since other users could "
               "swap its files. Fix: " +
               problem.fix +
               ", or set KAVEX_REGISTRY_ROOT to a directory that only you "
               "(or root) can write";
  } else {
    message = "cannot check the registry root " + dir + ": " +
              Win32ErrorName(rc) + "; the registry is not used there";
  }
  if (message != reported_) {
    log::Log(log::Level::kError, kCategory, message);
    reported_ = message;
  }
  return ERROR_ACCESS_DENIED;
}

LONG HiveFile::Refresh() {
  file::FileIdentity now;
  DWORD rc = file::StatFile(path_, &now);
  if (rc == ERROR_SUCCESS && !(loaded_ && now == identity_)) {
    if (LONG check = CheckDirectory(); check != ERROR_SUCCESS) return check;
    std::string text;
    file::FileIdentity read;
    rc = file::ReadWholeFile(path_, kMaxHiveBytes, &text, &read);
    if (rc == ERROR_SUCCESS) now = read;  // the version actually read
    if (rc == ERROR_SUCCESS || rc == ERROR_FILE_TOO_LARGE) {
      ParseError error;
      if (rc == ERROR_FILE_TOO_LARGE) {
        error.message =
            "larger than " + std::to_string(kMaxHiveBytes >> 20) + " MiB";
      }
      loaded_ = true;
      identity_ = now;
      damaged_ = rc != ERROR_SUCCESS || !ParseHive(text, &root_, &error);
      if (!damaged_) return ERROR_SUCCESS;
      root_.Clear();
      log::Logf(log::Level::kError, kCategory,
                "%s:%d: %s; the hive is unusable and will not be written "
                "until the line is fixed",
                path_.c_str(), error.line, error.message.c_str());
      return ERROR_BADDB;
    }
  }
  if (rc == ERROR_FILE_NOT_FOUND) {
    if (!loaded_ || identity_.exists) {
      root_.Clear();
      identity_ = file::FileIdentity{};
      damaged_ = false;
      loaded_ = true;
    }
    return ERROR_SUCCESS;
  }
  if (rc != ERROR_SUCCESS) return RegistryError(rc, ERROR_CANTREAD);
  return damaged_ ? ERROR_BADDB : ERROR_SUCCESS;
}

LONG HiveFile::Modify(const std::function<LONG(Key&)>& change) {
  const std::string dir = file::DirectoryOf(path_);
  if (DWORD rc = file::CreateDirectories(dir, 0755); rc != ERROR_SUCCESS)
    return RegistryError(rc, ERROR_CANTWRITE);
  if (LONG rc = CheckDirectory(); rc != ERROR_SUCCESS) return rc;
  const std::string lock_path = path_ + ".lock";
  file::UniqueFd lock;
  if (DWORD rc = file::AcquireExclusiveLock(lock_path, &lock);
      rc != ERROR_SUCCESS) {
    log::Logf(log::Level::kError, kCategory, "cannot lock %s: %s",
              lock_path.c_str(), Win32ErrorName(rc));
    return RegistryError(rc, ERROR_CANTWRITE);
  }
  // The lock is released when `lock` closes. Under it the file is always read
  // again: a change must apply to exactly the content it replaces.
  loaded_ = false;
  LONG rc = Refresh();
  if (rc != ERROR_SUCCESS) return rc;
  rc = change(root_);
  if (rc == kUnchanged) return ERROR_SUCCESS;
  if (rc != ERROR_SUCCESS) return rc;
  rc = Write();
  if (rc != ERROR_SUCCESS) loaded_ = false;  // memory is ahead of the file
  return rc;
}

LONG HiveFile::Write() {
  file::ReplaceResult result;
  const DWORD rc =
      file::ReplaceFile(path_, SerializeHive(root_, title_), {}, &result);
  if (rc != ERROR_SUCCESS) {
    log::Logf(log::Level::kError, kCategory,
              "cannot write %s: %s; the hive is left as it was", path_.c_str(),
              Win32ErrorName(rc));
    return RegistryError(rc, ERROR_CANTWRITE);
  }
  if (!result.directory_synced) {
    log::Logf(log::Level::kWarning, kCategory,
              "%s is written, but its directory could not be flushed: a power "
              "cut may still bring the previous version back",
              path_.c_str());
  }
  // Readers compare (inode, size, mtime); the replace gave the new version a
  // later time than the old one, so it is never taken for it.
  identity_ = result.identity;
  if (!identity_.exists) loaded_ = false;  // unknown: read it again next time
  damaged_ = false;
  return ERROR_SUCCESS;
}

}  // namespace kavex::registry
