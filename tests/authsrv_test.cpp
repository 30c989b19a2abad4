// The stand-in libAuthSrv.so through its exported C entry points: one real
// cause for every result code, and tampering of every token field.

#include "authsrv.h"

#include <dlfcn.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

#include "keyring.h"
#include "support/service_process.h"
#include "token.h"

namespace {

const char key_setting[] =
    "1:000102030405060708090a0b0c0d0e0f,"
    "2:f0e1d2c3b4a5968778695a4b3c2d1e0f00112233445566778899aabbccddeeff";

int32_t check(const std::string &user, const std::string &token) {
  return CheckValidGmi(user.c_str(), static_cast<int32_t>(user.size()),
                       token.c_str(), static_cast<int32_t>(token.size()));
}

struct mint_options {
  std::string user = "alice";
  long long ttl = 3600;
  uint32_t key_index = 1;
  uint32_t revision = 1;
  uint32_t flags = 0;
};

std::string mint(const mint_options &options = {}) {
  keyring keys;
  EXPECT_TRUE(keys.load(key_setting));
  token_fields fields;
  fields.key_index = options.key_index;
  fields.revision = options.revision;
  fields.user = options.user;
  fields.expiry = static_cast<uint64_t>(time(nullptr) + options.ttl);
  fields.flags = options.flags;
  const hmac_sha256_key *key = keys.find(options.key_index);
  return mint_token(fields, key ? *key : *keys.find(1));
}

class authsrv_test : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("AUTHSRV_KEYS", key_setting, 1);
    ASSERT_TRUE(InitAuth(1));
  }
};

TEST_F(authsrv_test, fresh_token_for_its_user_is_valid) {
  EXPECT_EQ(check("alice", mint()), 0);
  EXPECT_EQ(check("bob", mint({"bob"})), 0);
  EXPECT_EQ(IsValidGmi("alice", mint().c_str()), 0);
}

TEST_F(authsrv_test, both_keys_of_a_rotation_validate) {
  EXPECT_EQ(check("alice", mint({"alice", 60, 2})), 0);
}

TEST_F(authsrv_test, bypass_answers_1_for_anything_until_switched_off) {
  ASSERT_TRUE(SetBypassOption(1));
  EXPECT_EQ(check("alice", mint()), 1);
  EXPECT_EQ(check("", ""), 1);
  ASSERT_TRUE(SetBypassOption(0));
  EXPECT_EQ(check("alice", mint()), 0);
  EXPECT_EQ(check("", ""), 3);
}

TEST_F(authsrv_test, empty_oversized_or_foreign_tokens_are_3) {
  EXPECT_EQ(check("alice", ""), 3);
  EXPECT_EQ(check("alice", std::string(max_token_length + 1, 'A')), 3);
  EXPECT_EQ(check("alice", "JWT1." + mint().substr(5)), 3);
  EXPECT_EQ(check("alice", "gmi1." + mint().substr(5)), 3);
  EXPECT_EQ(CheckValidGmi("alice", 5, nullptr, 0), 3);
  const std::string token = mint();
  EXPECT_EQ(CheckValidGmi("alice", -1, token.c_str(), static_cast<int32_t>(token.size())), 3);
  EXPECT_EQ(CheckValidGmi("alice", 5, token.c_str(), -5), 3);
}

TEST_F(authsrv_test, malformed_fields_are_4) {
  const std::string token = mint();
  const size_t last_dot = token.rfind('.');
  EXPECT_EQ(check("alice", token.substr(0, last_dot)), 4);        // truncated
  EXPECT_EQ(check("alice", token.substr(0, token.size() - 1)), 4); // short signature
  EXPECT_EQ(check("alice", token + ".0"), 4);                       // extra field
  EXPECT_EQ(check("alice", "GMI1.1.1"), 4);
  EXPECT_EQ(check("alice", "GMI1......."), 4);
  std::string bad_number = token;
  bad_number[5] = 'x';  // the key index
  EXPECT_EQ(check("alice", bad_number), 4);
  std::string bad_flags = mint({"alice", 60, 1, 1, 2});  // no bit 1 exists
  EXPECT_EQ(check("alice", bad_flags), 4);
  std::string bad_user = token;
  bad_user[token.find(".", 9) + 1] = '*';  // not base64url
  EXPECT_EQ(check("alice", bad_user), 4);
  std::string with_nul = token;
  with_nul[last_dot - 1] = '\0';
  EXPECT_EQ(check("alice", with_nul), 4);
  EXPECT_EQ(check("alice", "GMI1.99999999999.1.YQ.1.0." + token.substr(last_dot + 1)), 4);
}

TEST_F(authsrv_test, unknown_key_index_is_5) {
  EXPECT_EQ(check("alice", mint({"alice", 60, 3})), 5);
}

TEST_F(authsrv_test, revision_other_than_the_accepted_one_is_6) {
  EXPECT_EQ(check("alice", mint({"alice", 60, 1, 2})), 6);
}

TEST_F(authsrv_test, token_of_another_user_is_7) {
  EXPECT_EQ(check("bob", mint()), 7);
  EXPECT_EQ(check("alic", mint()), 7);
  EXPECT_EQ(check("alicee", mint()), 7);
  EXPECT_EQ(check(std::string("alice\0", 6), mint()), 7);
}

TEST_F(authsrv_test, one_changed_character_in_any_field_breaks_the_signature) {
  const std::string token = mint({"alice", 3600, 1, 1, 0});
  // Each position is the first character of a field after the prefix; the
  // replacement keeps the field well-formed.
  size_t start = 5;
  for (int field = 0; field < 6; ++field) {
    std::string changed = token;
    char &c = changed[start];
    c = (c >= '0' && c <= '8') ? static_cast<char>(c + 1) : (c == 'A' ? 'B' : 'A');
    EXPECT_EQ(check("alice", changed), 8) << field << " " << changed;
    start = token.find('.', start) + 1;
  }
}

TEST_F(authsrv_test, expired_token_is_9) {
  EXPECT_EQ(check("alice", mint({"alice", -10})), 9);
  EXPECT_EQ(check("alice", mint({"alice", 0})), 9);  // expiry is exclusive
}

TEST_F(authsrv_test, suspended_token_is_10) {
  EXPECT_EQ(check("alice", mint({"alice", 60, 1, 1, flag_suspended})), 10);
}

TEST_F(authsrv_test, wide_entry_points_take_ascii) {
  const std::string narrow = mint();
  const std::wstring token(narrow.begin(), narrow.end());
  EXPECT_EQ(IsValidGmiW(L"alice", token.c_str()), 0);
  const std::wstring user = L"al\u00efce";
  EXPECT_EQ(CheckValidGmiW(user.c_str(), static_cast<int32_t>(user.size()),
                           token.c_str(), static_cast<int32_t>(token.size())),
            3);
}

TEST_F(authsrv_test, validations_and_bypass_switching_run_concurrently) {
  const std::string token = mint();
  std::atomic<bool> stop{false};
  std::thread switcher([&] {
    while (!stop) {
      SetBypassOption(1);
      SetBypassOption(0);
    }
  });
  std::atomic<int> unexpected{0};
  std::vector<std::thread> checkers;
  for (int t = 0; t < 4; ++t) {
    checkers.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        const int32_t code = check("alice", token);
        if (code != 0 && code != 1) ++unexpected;
      }
    });
  }
  for (std::thread &checker : checkers) checker.join();
  stop = true;
  switcher.join();
  SetBypassOption(0);
  EXPECT_EQ(unexpected.load(), 0);
}

// A private instance of the library, loaded from a copy so that its
// life-cycle state starts fresh whatever this process did before.
class library_copy {
 public:
  library_copy() {
    test::scratch_dir *dir = new test::scratch_dir();
    dir_.reset(dir);
    dir->install_library(test::build_path("libAuthSrv.so"));
    handle_ = dlopen((dir->path() + "/libAuthSrv.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    init = reinterpret_cast<bool (*)(int)>(dlsym(handle_, "InitAuth"));
    validate = reinterpret_cast<int32_t (*)(const char *, int32_t, const char *, int32_t)>(
        dlsym(handle_, "CheckValidGmi"));
    cleanup = reinterpret_cast<void (*)()>(dlsym(handle_, "CleanupAuth"));
  }
  int32_t check(const std::string &user, const std::string &token) const {
    return validate(user.c_str(), static_cast<int32_t>(user.size()), token.c_str(),
                    static_cast<int32_t>(token.size()));
  }

  bool (*init)(int) = nullptr;
  int32_t (*validate)(const char *, int32_t, const char *, int32_t) = nullptr;
  void (*cleanup)() = nullptr;

 private:
  std::unique_ptr<test::scratch_dir> dir_;
  void *handle_ = nullptr;  // never closed, like the service's
};

TEST(authsrv_life_test, before_init_and_after_cleanup_answer_2) {
  setenv("AUTHSRV_KEYS", key_setting, 1);
  library_copy library;
  ASSERT_NE(library.validate, nullptr);
  EXPECT_EQ(library.check("alice", mint()), 2);
  ASSERT_TRUE(library.init(1));
  EXPECT_EQ(library.check("alice", mint()), 0);
  library.cleanup();
  EXPECT_EQ(library.check("alice", mint()), 2);
  EXPECT_FALSE(library.init(1));
}

TEST(authsrv_life_test, malformed_key_setting_refuses_init) {
  for (const char *setting : {"1:abcd", "x:000102030405060708090a0b0c0d0e0f",
                              "1:000102030405060708090a0b0c0d0e0f,1:"
                              "000102030405060708090a0b0c0d0e0f",
                              "1:000102030405060708090a0b0c0d0e0g"}) {
    setenv("AUTHSRV_KEYS", setting, 1);
    library_copy library;
    EXPECT_FALSE(library.init(1)) << setting;
  }
}

TEST(authsrv_life_test, development_key_only_when_asked_for_by_name) {
  for (const char *absent : {static_cast<const char *>(nullptr), ""}) {
    keyring ring;
    EXPECT_FALSE(ring.load(absent));
    EXPECT_EQ(ring.size(), 0u);
  }
  unsetenv("AUTHSRV_KEYS");
  EXPECT_FALSE(library_copy().init(1));

  setenv("AUTHSRV_KEYS", "development", 1);
  library_copy library;
  ASSERT_TRUE(library.init(1));
  keyring development;
  ASSERT_TRUE(development.load("development"));
  token_fields fields;
  fields.key_index = 1;
  fields.revision = 1;
  fields.user = "alice";
  fields.expiry = static_cast<uint64_t>(time(nullptr) + 60);
  EXPECT_EQ(library.check("alice", mint_token(fields, *development.find(1))), 0);
  EXPECT_EQ(library.check("alice", mint()), 8);  // signed with another key
}

}  // namespace
