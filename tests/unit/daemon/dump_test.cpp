// The pending-id dump: which file each category goes to, the collection's entries, and the
// folder and link checks that keep a daemon running as root from writing where it must not.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>

#include "compare/pending.h"
#include "daemon/korveld.h"
#include "tests/unit/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::insert_json;

const char* const kFiles[] = {
    "korveld_virus_file_log.txt", "korveld_ransom_file_log.txt", "korveld_webshell_log.txt",
    "korveld_anti_bfa_log.txt",   "korveld_domain_log.txt",      "korveld_nofile_log.txt",
};

class DumpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_pending_events.clear();
    g_pending_in_db = 0;
    dir = root.file("ckorvel");
    fs::create_directory(dir);
    chmod(dir.c_str(), 0755);
  }
  void TearDown() override { g_pending_events.clear(); }

  std::string read(const char* name) {
    std::ifstream in(dir + "/" + name);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  void add(const std::string& id, int code) {
    g_pending_events[id] = pending_info{static_cast<signed char>(code), 1};
  }

  testing_support::test_root root{4};
  std::string dir;
};

TEST_F(DumpTest, BufferedEntriesGoToTheFileOfTheirCategory) {
  add("a-virus", 2);
  add("b-negative", -3);
  add("c-ransom", 4);
  add("d-webshell", 20);
  add("e-bfa", 40);
  add("f-domain", 30);
  add("g-nofile", 50);
  add("h-incident", 70);
  add("i-adware", 9);
  add("j-leak", 60);
  g_dump_flag = 1;
  dump_pending_id_to(dir.c_str());

  EXPECT_EQ(g_dump_flag, 0);
  std::string virus = read(kFiles[0]);
  EXPECT_NE(virus.find("a-virus\n"), std::string::npos);
  EXPECT_NE(virus.find("b-negative\n"), std::string::npos);
  EXPECT_EQ(read(kFiles[1]), "c-ransom\n");
  EXPECT_EQ(read(kFiles[2]), "d-webshell\n");
  EXPECT_EQ(read(kFiles[3]), "e-bfa\n");
  EXPECT_EQ(read(kFiles[4]), "f-domain\n");
  std::string nofile = read(kFiles[5]);
  EXPECT_NE(nofile.find("g-nofile\n"), std::string::npos);
  EXPECT_NE(nofile.find("h-incident\n"), std::string::npos);
  // Codes 9 and 60 are counted but written nowhere.
  EXPECT_TRUE(root.log_contains("finish dump pending id,size is 10"));
  for (const char* name : kFiles) {
    struct stat st;
    ASSERT_EQ(stat((dir + "/" + name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
  }
}

TEST_F(DumpTest, EmptyQueueLeavesSixEmptyFiles) {
  std::ofstream(dir + "/" + kFiles[2]) << "stale line\n";
  dump_pending_id_to(dir.c_str());
  for (const char* name : kFiles) EXPECT_EQ(read(name), "") << name;
  EXPECT_TRUE(root.log_contains("finish dump pending id,size is 0"));
}

TEST_F(DumpTest, CollectionEntriesAreDumpedWhenThePendingFlagIsSet) {
  testing_support::connect_test_db();
  insert_json("agent_level_pending_log", R"({"_id": "p-1", "risk_level": 1, "virus_type": 30})");
  insert_json("agent_level_pending_log",
              R"({"_id": "p-2", "risk_level": 1, "virus_type": {"$numberLong": "4"}})");
  add("m-1", 30);
  g_pending_in_db = 1;
  dump_pending_id_to(dir.c_str());
  std::string domain = read(kFiles[4]);
  EXPECT_NE(domain.find("p-1\n"), std::string::npos);
  EXPECT_NE(domain.find("m-1\n"), std::string::npos);
  EXPECT_EQ(read(kFiles[1]), "p-2\n");
  EXPECT_TRUE(root.log_contains("finish dump pending id,size is 3"));

  // Without the flag the collection is not read.
  root.log_mark();
  g_pending_in_db = 0;
  dump_pending_id_to(dir.c_str());
  EXPECT_TRUE(root.log_contains("finish dump pending id,size is 1"));
}

TEST_F(DumpTest, MissingFolderStillCompletesSilently) {
  fs::remove_all(dir);
  add("x", 2);
  g_dump_flag = 1;
  dump_pending_id_to(dir.c_str());
  EXPECT_EQ(g_dump_flag, 0);
  EXPECT_TRUE(root.log_contains("finish dump pending id,size is 1"));
  EXPECT_FALSE(root.log_contains("pending id dump"));
  EXPECT_FALSE(fs::exists(dir));
}

TEST_F(DumpTest, PlantedLinkIsNotFollowed) {
  const std::string victim = root.file("victim.txt");
  std::ofstream(victim) << "precious\n";
  fs::create_symlink(victim, dir + "/" + kFiles[0]);
  add("a-virus", 2);
  add("c-ransom", 4);
  dump_pending_id_to(dir.c_str());
  std::ifstream in(victim);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "precious\n");
  EXPECT_TRUE(fs::is_symlink(dir + "/" + kFiles[0]));
  EXPECT_TRUE(root.log_contains("is a symbolic link, not written"));
  EXPECT_EQ(read(kFiles[1]), "c-ransom\n");  // the other files are still written
}

TEST_F(DumpTest, UnsafeFolderIsRefused) {
  struct folder_case {
    const char* name;
    std::function<void(const std::string&)> make;
  };
  const std::string target = root.file("elsewhere");
  fs::create_directory(target);
  const folder_case cases[] = {
      {"world-writable", [](const std::string& d) { chmod(d.c_str(), 0777); }},
      {"link to a folder",
       [&](const std::string& d) {
         fs::remove_all(d);
         fs::create_directory_symlink(target, d);
       }},
      {"not a folder",
       [](const std::string& d) {
         fs::remove_all(d);
         std::ofstream(d) << "";
       }},
  };
  for (const auto& c : cases) {
    fs::remove_all(dir);
    fs::create_directory(dir);
    chmod(dir.c_str(), 0755);
    c.make(dir);
    root.log_mark();
    add("a-virus", 2);
    dump_pending_id_to(dir.c_str());
    EXPECT_TRUE(root.log_contains("pending id dump refused")) << c.name;
    EXPECT_TRUE(root.log_contains("finish dump pending id,size is 1")) << c.name;
    EXPECT_FALSE(fs::exists(target + "/" + kFiles[0])) << c.name;
    fs::remove_all(dir);
  }
}

}  // namespace
