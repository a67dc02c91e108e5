#include "platform/service/fake_service_manager.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "platform/base/results.h"
#include "platform/file/file.h"
#include "platform/service/service_names.h"

namespace kavex::service {

struct FakeServiceManager::Faults {
  bool unprivileged = false;
  bool start_fails = false;
  bool no_manager = false;
  long stop_delay = 0;  // -1: never
  std::vector<std::string> masked;
};

namespace {

constexpr long kNever = -1;

constexpr size_t kMaxFileBytes = 1 << 20;

// Holds the directory's lock for the duration of one call.
class DirectoryLock {
 public:
  explicit DirectoryLock(const std::string& directory) {
    file::AcquireExclusiveLock(directory + "/lock", &lock_);
  }

 private:
  file::UniqueFd lock_;
};

bool ReadFile(const std::string& path, std::string* text) {
  return file::ReadWholeFile(path, kMaxFileBytes, text) == ERROR_SUCCESS;
}

// Whole-file replace, so a reader in another process never sees half a
// state.
DWORD WriteFile(const std::string& path, const std::string& text) {
  return file::ReplaceFile(path, text);
}

// Under the directory lock, so read and replace do not race.
void AppendLine(const std::string& path, const std::string& line) {
  std::string text;
  ReadFile(path, &text);
  WriteFile(path, text + line + "\n");
}

bool ParseNumber(const std::string& word, long* value) {
  if (word.empty() || word.size() > 9) return false;
  for (char c : word)
    if (c < '0' || c > '9') return false;
  *value = std::strtol(word.c_str(), nullptr, 10);
  return true;
}

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  std::string word;
  while (in >> word) words.push_back(word);
  return words;
}

// "<state>" or "<state> <number>".
bool ParseStateLine(const std::string& text, ActiveState* state, long* number) {
  std::string line = text;
  if (!line.empty() && line.back() == '\n') line.pop_back();
  std::vector<std::string> words = Words(line);
  *number = 0;
  if (words.empty() || words.size() > 2 || !ParseActiveState(words[0], state))
    return false;
  if (words.size() == 2) {
    if (words[1] == "never" && *state == ActiveState::kDeactivating) {
      *number = kNever;
      return true;
    }
    return ParseNumber(words[1], number);
  }
  return true;
}

std::string StateText(ActiveState state, long number) {
  std::string text = ActiveStateName(state);
  if (number == kNever) return text + " never\n";
  if (number != 0) text += " " + std::to_string(number);
  return text + "\n";
}

}  // namespace

FakeServiceManager::FakeServiceManager(std::string directory)
    : directory_(std::move(directory)) {
  file::CreateDirectories(directory_ + "/units", 0755);
  file::CreateDirectories(directory_ + "/state", 0755);
}

DWORD FakeServiceManager::Connect(const std::string& directory,
                                  std::unique_ptr<Backend>* backend) {
  struct stat st;
  if (directory.empty() || stat(directory.c_str(), &st) != 0 ||
      !S_ISDIR(st.st_mode))
    return RPC_S_SERVER_UNAVAILABLE;
  auto fake = std::make_unique<FakeServiceManager>(directory);
  Faults faults;
  DWORD error;
  {
    DirectoryLock lock(directory);
    error = fake->ReadFaults(&faults);
  }
  if (error != ERROR_SUCCESS) return error;
  if (faults.no_manager) return RPC_S_SERVER_UNAVAILABLE;
  *backend = std::move(fake);
  return ERROR_SUCCESS;
}

std::string FakeServiceManager::Path(const char* sub,
                                     const std::string& unit) const {
  return directory_ + "/" + sub + "/" + unit;
}

DWORD FakeServiceManager::ReadFaults(Faults* faults) const {
  std::string text;
  if (!ReadFile(directory_ + "/faults", &text)) return ERROR_SUCCESS;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> words = Words(line);
    if (words.empty()) continue;
    const std::string& fault = words[0];
    if (fault == "no-manager" && words.size() == 1) {
      faults->no_manager = true;
    } else if (fault == "unprivileged" && words.size() == 1) {
      faults->unprivileged = true;
    } else if (fault == "start-fails" && words.size() == 1) {
      faults->start_fails = true;
    } else if (fault == "masked" && words.size() == 2) {
      faults->masked.push_back(words[1]);
    } else if (fault == "stop-delay" && words.size() == 2) {
      if (words[1] == "never")
        faults->stop_delay = kNever;
      else if (!ParseNumber(words[1], &faults->stop_delay))
        return ERROR_INVALID_DATA;
    } else {
      return ERROR_INVALID_DATA;
    }
  }
  return ERROR_SUCCESS;
}

DWORD FakeServiceManager::MayManage(bool* allowed) {
  DirectoryLock lock(directory_);
  Faults faults;
  DWORD error = ReadFaults(&faults);
  if (error != ERROR_SUCCESS) return error;
  *allowed = !faults.unprivileged;
  return ERROR_SUCCESS;
}

DWORD FakeServiceManager::GetStatus(const std::string& unit,
                                    UnitStatus* status) {
  if (!IsValidUnitName(unit)) return ERROR_INVALID_NAME;
  DirectoryLock lock(directory_);
  Faults faults;
  DWORD error = ReadFaults(&faults);
  if (error != ERROR_SUCCESS) return error;
  *status = UnitStatus{};
  std::string text;
  if (!ReadFile(Path("units", unit), &text)) return ERROR_SUCCESS;
  status->exists = true;
  for (const std::string& masked : faults.masked)
    if (masked == unit) status->masked = true;
  ActiveState state = ActiveState::kInactive;
  long number = 0;
  if (ReadFile(Path("state", unit), &text) &&
      !ParseStateLine(text, &state, &number))
    return ERROR_INVALID_DATA;
  if (state == ActiveState::kDeactivating && number > 0) {
    // This query is one of the `number` that still see the stop pending.
    --number;
    DWORD write_error = WriteFile(
        Path("state", unit),
        StateText(number == 0 ? ActiveState::kInactive : state, number));
    if (write_error != ERROR_SUCCESS) return write_error;
  }
  status->state = state;
  if (state == ActiveState::kFailed)
    status->exit_status = static_cast<int>(number);
  return ERROR_SUCCESS;
}

DWORD FakeServiceManager::Start(const std::string& unit) {
  if (!IsValidUnitName(unit)) return ERROR_INVALID_NAME;
  DirectoryLock lock(directory_);
  Faults faults;
  DWORD error = ReadFaults(&faults);
  if (error != ERROR_SUCCESS) return error;
  if (faults.unprivileged) return ERROR_ACCESS_DENIED;
  std::string text;
  if (!ReadFile(Path("units", unit), &text))
    return ERROR_SERVICE_DOES_NOT_EXIST;
  for (const std::string& masked : faults.masked)
    if (masked == unit) return ERROR_SERVICE_DISABLED;
  AppendLine(directory_ + "/requests", "start " + unit);
  return WriteFile(Path("state", unit),
                   faults.start_fails ? StateText(ActiveState::kFailed, 1)
                                      : StateText(ActiveState::kActive, 0));
}

DWORD FakeServiceManager::Stop(const std::string& unit) {
  if (!IsValidUnitName(unit)) return ERROR_INVALID_NAME;
  DirectoryLock lock(directory_);
  Faults faults;
  DWORD error = ReadFaults(&faults);
  if (error != ERROR_SUCCESS) return error;
  if (faults.unprivileged) return ERROR_ACCESS_DENIED;
  std::string text;
  if (!ReadFile(Path("units", unit), &text))
    return ERROR_SERVICE_DOES_NOT_EXIST;
  AppendLine(directory_ + "/requests", "stop " + unit);
  return WriteFile(
      Path("state", unit),
      faults.stop_delay == 0
          ? StateText(ActiveState::kInactive, 0)
          : StateText(ActiveState::kDeactivating, faults.stop_delay));
}

DWORD FakeServiceManager::Install(const std::string& unit,
                                  const std::string& text) {
  if (!IsValidUnitName(unit)) return ERROR_INVALID_NAME;
  DirectoryLock lock(directory_);
  Faults faults;
  DWORD error = ReadFaults(&faults);
  if (error != ERROR_SUCCESS) return error;
  if (faults.unprivileged) return ERROR_ACCESS_DENIED;
  AppendLine(directory_ + "/requests", "install " + unit);
  error = WriteFile(Path("units", unit), text);
  if (error != ERROR_SUCCESS) return error;
  return WriteFile(Path("state", unit), StateText(ActiveState::kInactive, 0));
}

DWORD FakeServiceManager::Remove(const std::string& unit) {
  if (!IsValidUnitName(unit)) return ERROR_INVALID_NAME;
  DirectoryLock lock(directory_);
  Faults faults;
  DWORD error = ReadFaults(&faults);
  if (error != ERROR_SUCCESS) return error;
  if (faults.unprivileged) return ERROR_ACCESS_DENIED;
  AppendLine(directory_ + "/requests", "remove " + unit);
  if (unlink(Path("units", unit).c_str()) != 0)
    return errno == ENOENT ? ERROR_SERVICE_DOES_NOT_EXIST : ERROR_CANTWRITE;
  unlink(Path("state", unit).c_str());
  return ERROR_SUCCESS;
}

void FakeServiceManager::AddUnit(const std::string& unit, ActiveState state,
                                 const std::string& text) {
  DirectoryLock lock(directory_);
  WriteFile(Path("units", unit), text);
  WriteFile(Path("state", unit), StateText(state, 0));
}

void FakeServiceManager::SetFaults(const std::string& lines) {
  DirectoryLock lock(directory_);
  WriteFile(directory_ + "/faults", lines);
}

std::string FakeServiceManager::StateLine(const std::string& unit) const {
  DirectoryLock lock(directory_);
  std::string text;
  ReadFile(Path("state", unit), &text);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

std::string FakeServiceManager::UnitText(const std::string& unit) const {
  DirectoryLock lock(directory_);
  std::string text;
  ReadFile(Path("units", unit), &text);
  return text;
}

std::vector<std::string> FakeServiceManager::Requests() const {
  DirectoryLock lock(directory_);
  std::string text;
  ReadFile(directory_ + "/requests", &text);
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

}  // namespace kavex::service
