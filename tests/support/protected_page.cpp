#include "support/protected_page.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>

namespace test {

const char protected_page_test::page_target[] = "/private/page.html";
const char protected_page_test::page[] = "the protected page\n";

std::string mint(const std::string &user) {
  std::string token;
  if (FILE *tool = popen((build_path("gmi-token") + " --user " + user).c_str(), "r")) {
    char chunk[2048];
    while (fgets(chunk, sizeof(chunk), tool) != nullptr) token += chunk;
    pclose(tool);
  }
  if (!token.empty() && token.back() == '\n') token.pop_back();
  return token;
}

protected_page_test::protected_page_test(const std::vector<std::string> &authz_args)
    : authz(dir, service.port, authz_args), alice(mint("alice")) {}

void protected_page_test::SetUp() {
  ASSERT_TRUE(service.listening);
  ASSERT_TRUE(authz.listening);
  ASSERT_FALSE(alice.empty());
  // A proxy's workers run as nobody when the test runs as root.
  chmod(dir.path().c_str(), 0755);
  mkdir((dir.path() + "/www").c_str(), 0755);
  mkdir((dir.path() + "/www/private").c_str(), 0755);
  write_file(std::string("www") + page_target, page);
}

std::vector<protected_page_test::page_request> protected_page_test::valid_requests() const {
  const std::string target = page_target;
  return {{target, valid_headers()},
          {target + "?userid=alice&gmi=" + alice, ""},
          {target, "Cookie: gmi=" + alice + "\r\nX-GMI-User: alice\r\n"}};
}

void protected_page_test::expect_valid_requests_get_the_page() const {
  for (const page_request &valid : valid_requests()) {
    const http_response answer = fetch(valid.target, valid.headers);
    EXPECT_EQ(answer.status, 200) << valid.target;
    EXPECT_EQ(answer.body, page);
    EXPECT_EQ(answer.header("X-Validated-User"), "alice");
  }
}

std::string protected_page_test::valid_headers() const {
  return "Authorization: Bearer " + alice + "\r\nX-GMI-User: alice\r\n";
}

http_response protected_page_test::fetch(const std::string &target,
                                         const std::string &headers) const {
  return request(port, "GET", target, headers);
}

void protected_page_test::write_file(const std::string &name, const std::string &text) const {
  std::ofstream(dir.path() + "/" + name) << text;
}

}  // namespace test
