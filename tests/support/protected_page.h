// What the reverse-proxy tests share: a real gmi-server, a gmi-authz asking
// it, and a static page under www/private/ in a scratch directory that the
// proxy under test must serve only on gmi-authz's allow. A test's fixture
// derives from it, writes its proxy's configuration into `dir` and starts
// the proxy on `port`.

#ifndef GMI_TESTS_PROTECTED_PAGE_H_
#define GMI_TESTS_PROTECTED_PAGE_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/http_client.h"
#include "support/running_authz.h"
#include "support/running_service.h"

namespace test {

class protected_page_test : public testing::Test {
 protected:
  // The protected page's path and its exact contents.
  static const char page_target[];
  static const char page[];

  // One request for the page: target and extra header lines.
  struct page_request {
    std::string target;
    std::string headers;
  };

  // authz_args: further options of the gmi-authz the proxy asks.
  explicit protected_page_test(const std::vector<std::string> &authz_args = {});
  void SetUp() override;

  // A request for the page with alice's valid token in each place gmi-authz
  // takes one from: the Authorization header, the original query, a cookie.
  std::vector<page_request> valid_requests() const;
  // Each of those gets the page, and the proxy passes on the user gmi-authz
  // validated (its configuration echoes it as X-Validated-User).
  void expect_valid_requests_get_the_page() const;
  // The token and user headers of the first of those.
  std::string valid_headers() const;

  http_response fetch(const std::string &target, const std::string &headers = "") const;
  void write_file(const std::string &name, const std::string &text) const;

  scratch_dir dir;
  running_service service{build_path("libAuthSrv.so")};
  running_authz authz{dir, service.port};
  uint16_t port = free_port();  // where the proxy under test listens
  const std::string alice;  // a valid token for the user alice
};

// A token for user, minted by gmi-token with the development key.
std::string mint(const std::string &user);

}  // namespace test

#endif  // GMI_TESTS_PROTECTED_PAGE_H_
