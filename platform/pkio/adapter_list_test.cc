// The adapter enumeration inside a private network namespace: it lists that
// namespace's interfaces, even though /sys/class/net (not remounted) still
// shows the host's.
#include <dirent.h>
#include <net/if.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/base/results.h"
#include "platform/pkio/pkiolib.h"
#include "platform/pkio/testing/test_lan.h"

namespace kavex::pkio {
namespace {

std::vector<std::string> EnumeratedNdisNames() {
  std::vector<std::string> names;
  PKIO_HANDLE e = Pkio_OpenAdapterEnum();
  if (e == PKIO_INVALID_HANDLE) return names;
  for (PKIO_HANDLE entry = Pkio_GetFirstAdapter(e);
       entry != PKIO_INVALID_HANDLE; entry = Pkio_GetNextAdapter(e)) {
    char name[256];
    DWORD size = sizeof name;
    if (Pkio_GetAdapterNdisNameA(entry, name, &size) == 0) {
      names.emplace_back(name);
    }
    Pkio_ReleaseAdapterEntry(entry);
  }
  Pkio_CloseAdapterEnum(e);
  return names;
}

std::set<std::string> SysfsInterfaces() {
  std::set<std::string> names;
  DIR* dir = opendir("/sys/class/net");
  if (dir == nullptr) return names;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') names.insert(entry->d_name);
  }
  closedir(dir);
  return names;
}

// The body of the child that owns the namespace.
void EnumerateInPrivateNamespace() {
  testing::DeclareTestLan("Lan1", "Test LAN one");
  ASSERT_EQ(unshare(CLONE_NEWNET), 0);
  ASSERT_EQ(system("ip link add name kxa0 type veth peer name kxb0 && "
                   "ip link set kxa0 address 02:00:00:00:0a:01 && "
                   "ip link set kxa0 mtu 1400 && ip link set kxa0 up"),
            0);

  // lo is there too, but it is no Ethernet adapter. Other tests of this
  // process may have declared test LANs of their own.
  std::vector<std::string> names = EnumeratedNdisNames();
  ASSERT_GE(names.size(), 3u);
  // By interface index, which the kernel chose for the pair.
  EXPECT_EQ(std::set<std::string>(names.begin(), names.begin() + 2),
            (std::set<std::string>{"\\Device\\kxa0", "\\Device\\kxb0"}));
  for (size_t i = 2; i < names.size(); ++i) {
    // Another source's: "\Device\<source>\<name>".
    EXPECT_NE(names[i].find('\\', 8), std::string::npos) << names[i];
  }
  EXPECT_NE(std::find(names.begin(), names.end(), "\\Device\\Test\\Lan1"),
            names.end());

  // The adapter's details are the namespace's interface's, not those of a
  // host interface that sysfs may show under the same name.
  PKIO_HANDLE h = Pkio_OpenAdapterA("\\Device\\kxa0");
  ASSERT_NE(h, PKIO_INVALID_HANDLE) << Pkio_GetLastErrorMessageA();
  BYTE mac[6] = {};
  PKIO_NDIS_REQUEST r{PKIO_NDIS_QUERY, OID_802_3_CURRENT_ADDRESS, mac, 6, 0, 0};
  EXPECT_EQ(Pkio_MakeNdisRequest(h, &r, nullptr, TRUE), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(std::vector<BYTE>(mac, mac + 6),
            (std::vector<BYTE>{0x02, 0, 0, 0, 0x0a, 0x01}));
  DWORD size = 0;
  r = {PKIO_NDIS_QUERY, OID_GEN_MAXIMUM_TOTAL_SIZE, &size, 4, 0, 0};
  EXPECT_EQ(Pkio_MakeNdisRequest(h, &r, nullptr, TRUE), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(size, 1414u);
  EXPECT_TRUE(Pkio_CloseAdapter(h));

  // A host interface that sysfs still lists is not ours to open.
  for (const std::string& name : SysfsInterfaces()) {
    if (if_nametoindex(name.c_str()) != 0) continue;
    EXPECT_EQ(Pkio_OpenAdapterA(("\\Device\\" + name).c_str()),
              PKIO_INVALID_HANDLE)
        << name;
    EXPECT_EQ(Pkio_GetLastError(), DWORD(ERROR_FILE_NOT_FOUND)) << name;
  }
}

TEST(PkioAdapterListTest, ListsOnlyTheInterfacesOfItsNetworkNamespace) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
  fflush(stdout);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The namespace, and with it the veth pair, goes with the child.
    EnumerateInPrivateNamespace();
    fflush(stdout);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "see the child's report above";
}

}  // namespace
}  // namespace kavex::pkio
