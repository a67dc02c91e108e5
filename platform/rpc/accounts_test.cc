#include "platform/rpc/accounts.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/base/results.h"
#include "platform/rpc/account_tool.h"

namespace kavex::rpc {
namespace {

class AccountsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kavex-accounts-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/accounts";
  }
  void TearDown() override {
    std::string command = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(command.c_str()), 0);
  }
  void Write(const std::string& text, mode_t mode) {
    std::ofstream(path_) << text;
    ASSERT_EQ(chmod(path_.c_str(), mode), 0);
  }
  std::string Read() {
    std::ifstream f(path_);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  // Runs the tool with `input` on standard input; returns its exit status.
  int Tool(std::vector<std::string> words, const std::string& input = "",
           std::string* output = nullptr) {
    std::vector<char*> argv;
    static char name[] = "kavex-opc-account";
    argv.push_back(name);
    std::string file = "--file";
    argv.push_back(file.data());
    argv.push_back(path_.data());
    for (std::string& w : words) argv.push_back(w.data());
    FILE* in = tmpfile();
    FILE* out = tmpfile();
    FILE* err = tmpfile();
    fputs(input.c_str(), in);
    rewind(in);
    int status = RunAccountTool(static_cast<int>(argv.size()), argv.data(), in,
                                out, err);
    if (output) {
      rewind(out);
      char buffer[4096];
      size_t n = fread(buffer, 1, sizeof buffer, out);
      output->assign(buffer, n);
    }
    fclose(in);
    fclose(out);
    fclose(err);
    return status;
  }

  std::string dir_;
  std::string path_;
};

TEST_F(AccountsTest, ParsesAndRefusesBadLines) {
  AccountStore store;
  std::string error;
  ASSERT_EQ(store.Parse("# comment\n\n  opc  KAVEX  "
                        "00112233445566778899aabbccddeeff  # tail\r\n"
                        "Other DOM FFEEDDCCBBAA99887766554433221100\n",
                        &error),
            ERROR_SUCCESS);
  ASSERT_EQ(store.accounts().size(), 2u);
  EXPECT_EQ(store.accounts()[1].nt_hash[0], 0xFF);
  EXPECT_NE(store.Find(u"OPC", u"kavex"), nullptr);
  EXPECT_NE(store.Find(u"opc", u""), nullptr) << "a logon without a domain";
  EXPECT_EQ(store.Find(u"opc", u"OTHER"), nullptr);
  EXPECT_EQ(store.Find(u"nobody", u""), nullptr);
  const char* bad[] = {
      "opc KAVEX\n",
      "opc KAVEX 00112233445566778899aabbccddeeff extra\n",
      "opc KAVEX 00112233445566778899aabbccddeef\n",
      "opc KAVEX 00112233445566778899aabbccddeefg\n",
      "opc KAVEX password\n",
  };
  for (const char* text : bad) {
    SCOPED_TRACE(text);
    EXPECT_EQ(store.Parse(text, &error), ERROR_INVALID_DATA);
    EXPECT_NE(error.find("line 1"), std::string::npos);
    EXPECT_TRUE(store.accounts().empty());
  }
}

TEST_F(AccountsTest, LoadRefusesLooseModesAndOtherOwners) {
  AccountStore store;
  std::string error;
  EXPECT_EQ(store.Load(path_, geteuid(), &error), ERROR_FILE_NOT_FOUND);
  Write("opc KAVEX 00112233445566778899aabbccddeeff\n", 0644);
  EXPECT_EQ(store.Load(path_, geteuid(), &error), ERROR_ACCESS_DENIED);
  EXPECT_NE(error.find("0644"), std::string::npos) << error;
  ASSERT_EQ(chmod(path_.c_str(), 0600), 0);
  EXPECT_EQ(store.Load(path_, geteuid() + 1, &error), ERROR_ACCESS_DENIED);
  EXPECT_NE(error.find("owned by"), std::string::npos) << error;
  ASSERT_EQ(store.Load(path_, geteuid(), &error), ERROR_SUCCESS) << error;
  EXPECT_EQ(store.accounts().size(), 1u);
  // A symbolic link is not followed.
  std::string link = dir_ + "/link";
  ASSERT_EQ(symlink(path_.c_str(), link.c_str()), 0);
  EXPECT_NE(store.Load(link, geteuid(), &error), ERROR_SUCCESS);
}

TEST_F(AccountsTest, ACredentialCopyMayBeRootsOrOursWithAnAclMask) {
  AccountStore store;
  std::string error;
  Write("opc KAVEX 00112233445566778899aabbccddeeff\n", 0400);
  const uid_t self = geteuid();
  // As systemd leaves a credential on ramfs: ours, 0400.
  ASSERT_EQ(store.LoadCredential(path_, self, &error), ERROR_SUCCESS) << error;
  EXPECT_EQ(store.accounts().size(), 1u);
  // On tmpfs: root's, with an ACL entry for the service user, so the group
  // bits show the mask (0440). The plain file check refuses that.
  ASSERT_EQ(chmod(path_.c_str(), 0440), 0);
  EXPECT_EQ(store.LoadCredential(path_, self, &error), ERROR_SUCCESS) << error;
  EXPECT_EQ(store.Load(path_, self, &error), ERROR_ACCESS_DENIED);
  struct Mode {
    mode_t mode;
    const char* what;
  };
  for (Mode m : {Mode{0444, "readable by every user"},
                 Mode{0460, "writable by the group"},
                 Mode{0404, "readable by others only"},
                 Mode{0410, "executable by the group"}}) {
    SCOPED_TRACE(m.what);
    ASSERT_EQ(chmod(path_.c_str(), m.mode), 0);
    EXPECT_EQ(store.LoadCredential(path_, self, &error), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(store.accounts().empty());
  }
  ASSERT_EQ(chmod(path_.c_str(), 0400), 0);
  if (self == 0) {
    // Root's copy read by a service user: taken; another user's: refused.
    EXPECT_EQ(store.LoadCredential(path_, 4242, &error), ERROR_SUCCESS)
        << error;
    EXPECT_EQ(store.Load(path_, 4242, &error), ERROR_ACCESS_DENIED);
    ASSERT_EQ(chown(path_.c_str(), 4343, 4343), 0);
    EXPECT_EQ(store.LoadCredential(path_, 4242, &error), ERROR_ACCESS_DENIED);
    EXPECT_NE(error.find("owned by uid 4343"), std::string::npos) << error;
  }
}

TEST(ServerAccountsPathTest, ACredentialsDirectoryWinsThenTheConfiguredFile) {
  struct Case {
    const char* credentials;
    const char* configured;
    const char* path;
    bool credential;
  };
  const Case cases[] = {
      {"/run/credentials/kavex-opc-server.service", "/srv/accounts",
       "/run/credentials/kavex-opc-server.service/accounts", true},
      {"/run/credentials/x", nullptr, "/run/credentials/x/accounts", true},
      {"", "/srv/accounts", "/srv/accounts", false},
      {nullptr, "/srv/accounts", "/srv/accounts", false},
      {nullptr, "", "/etc/kavex-opc/accounts", false},
      {nullptr, nullptr, "/etc/kavex-opc/accounts", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    bool credential = !c.credential;
    EXPECT_EQ(ServerAccountsPath(c.credentials, c.configured, &credential),
              c.path);
    EXPECT_EQ(credential, c.credential);
  }
}

TEST(AccountToolTest, HelpAndVersionExitZero) {
  for (const char* word : {"--help", "--version"}) {
    char name[] = "kavex-opc-account";
    std::string arg = word;
    char* argv[] = {name, arg.data(), nullptr};
    FILE* out = tmpfile();
    FILE* err = tmpfile();
    EXPECT_EQ(RunAccountTool(2, argv, stdin, out, err), 0) << word;
    EXPECT_GT(ftell(out), 0) << word;
    EXPECT_EQ(ftell(err), 0) << word;
    fclose(out);
    fclose(err);
  }
}

TEST_F(AccountsTest, ToolAddsListsAndRemovesStoringOnlyHashes) {
  ASSERT_EQ(Tool({"add", "opc", "KAVEX"}, "s3cret\n"), 0);
  ASSERT_EQ(Tool({"add", "eng", "PLANT"}, "other\n"), 0);
  struct stat st = {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  std::string text = Read();
  EXPECT_EQ(text.find("s3cret"), std::string::npos);
  AccountStore store;
  std::string error;
  ASSERT_EQ(store.Load(path_, geteuid(), &error), ERROR_SUCCESS) << error;
  const Account* opc = store.Find(u"opc", u"KAVEX");
  ASSERT_NE(opc, nullptr);
  EXPECT_EQ(opc->nt_hash, NtOwfV1(u"s3cret"));
  std::string listing;
  ASSERT_EQ(Tool({"list"}, "", &listing), 0);
  EXPECT_EQ(listing, "KAVEX\\opc\nPLANT\\eng\n");
  // Adding again replaces the password.
  ASSERT_EQ(Tool({"add", "OPC", "kavex"}, "new\n"), 0);
  ASSERT_EQ(store.Load(path_, geteuid(), &error), ERROR_SUCCESS);
  EXPECT_EQ(store.accounts().size(), 2u);
  EXPECT_EQ(store.Find(u"opc", u"KAVEX")->nt_hash, NtOwfV1(u"new"));
  ASSERT_EQ(Tool({"remove", "opc", "KAVEX"}), 0);
  EXPECT_EQ(Tool({"remove", "opc", "KAVEX"}), 1);
  ASSERT_EQ(Tool({"list"}, "", &listing), 0);
  EXPECT_EQ(listing, "PLANT\\eng\n");
  // Refused: usage errors, blanks in names, no or an empty password, and a
  // file others can read.
  EXPECT_EQ(Tool({}), 2);
  EXPECT_EQ(Tool({"add", "opc"}), 2);
  EXPECT_EQ(Tool({"frobnicate"}), 2);
  EXPECT_EQ(Tool({"add", "a b", "D"}, "x\n"), 2);
  EXPECT_EQ(Tool({"add", "a", "D"}, ""), 1);
  EXPECT_EQ(Tool({"add", "a", "D"}, "\n"), 1);
  ASSERT_EQ(chmod(path_.c_str(), 0640), 0);
  EXPECT_EQ(Tool({"list"}), 1);
}

}  // namespace
}  // namespace kavex::rpc
