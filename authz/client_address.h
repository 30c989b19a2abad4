// Who a decision is for: the connection's peer, or, when the peer is one
// of the trusted proxies (--trusted-proxy), the address those proxies name
// in X-Forwarded-For. The header is read right to left, each trusted hop
// skipped, so that a client cannot name someone else by writing the
// header itself: only what a trusted hop appended is believed.
//
// Built once from the options; read-only and safe on any thread after.

#ifndef GMI_AUTHZ_CLIENT_ADDRESS_H_
#define GMI_AUTHZ_CLIENT_ADDRESS_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// An IPv4 or IPv6 address, IPv4 held as IPv4-mapped IPv6.
struct ip_address {
  std::array<uint8_t, 16> bytes{};

  // Dotted for IPv4 (mapped or not), RFC 5952 for IPv6; brackets and a
  // port around it (as some proxies write XFF entries) are accepted.
  static std::optional<ip_address> parse(const std::string &text);
  std::string text() const;
};

struct ip_network {
  ip_address base;
  int prefix_bits = 128;  // of the 128 (IPv4: 96 + its own)

  // "ADDRESS" or "ADDRESS/BITS".
  static std::optional<ip_network> parse(const std::string &text);
  bool contains(const ip_address &address) const;
};

struct client_address {
  std::string address;  // normalised text
  int port = -1;        // the peer's, when the client is the peer; else -1
};

class client_resolver {
 public:
  explicit client_resolver(std::vector<ip_network> trusted)
      : trusted_(std::move(trusted)) {}

  // peer and peer_port as the connection has them; forwarded_for: every
  // X-Forwarded-For header of the request, in the order received.
  client_address resolve(const std::string &peer, int peer_port,
                         const std::vector<std::string> &forwarded_for) const;

 private:
  bool trusted(const ip_address &address) const;

  const std::vector<ip_network> trusted_;
};

#endif  // GMI_AUTHZ_CLIENT_ADDRESS_H_
