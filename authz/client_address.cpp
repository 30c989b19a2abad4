#include "client_address.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

std::string trimmed(const std::string &text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") + 1 - first);
}

bool is_mapped_ipv4(const std::array<uint8_t, 16> &bytes) {
  static const uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  return memcmp(bytes.data(), prefix, sizeof(prefix)) == 0;
}

}  // namespace

std::optional<ip_address> ip_address::parse(const std::string &input) {
  std::string text = trimmed(input);
  // "[v6]" or "[v6]:port"; "a.b.c.d:port".
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos) return std::nullopt;
    text = text.substr(1, close - 1);
  } else if (std::count(text.begin(), text.end(), ':') == 1) {
    text = text.substr(0, text.find(':'));
  }
  ip_address address;
  in_addr v4{};
  if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    address.bytes[10] = address.bytes[11] = 0xff;
    memcpy(address.bytes.data() + 12, &v4, 4);
    return address;
  }
  if (inet_pton(AF_INET6, text.c_str(), address.bytes.data()) == 1) return address;
  return std::nullopt;
}

std::string ip_address::text() const {
  char out[INET6_ADDRSTRLEN] = "";
  if (is_mapped_ipv4(bytes)) {
    inet_ntop(AF_INET, bytes.data() + 12, out, sizeof(out));
  } else {
    inet_ntop(AF_INET6, bytes.data(), out, sizeof(out));
  }
  return out;
}

std::optional<ip_network> ip_network::parse(const std::string &text) {
  const size_t slash = text.find('/');
  const std::optional<ip_address> base = ip_address::parse(text.substr(0, slash));
  if (!base || text.find_first_of("[]") != std::string::npos) return std::nullopt;
  const bool v4 = is_mapped_ipv4(base->bytes) && text.find(':') == std::string::npos;
  const int width = v4 ? 32 : 128;
  int bits = width;
  if (slash != std::string::npos) {
    const std::string digits = text.substr(slash + 1);
    char *end = nullptr;
    const long value = strtol(digits.c_str(), &end, 10);
    if (digits.empty() || *end != '\0' || value < 0 || value > width) return std::nullopt;
    bits = static_cast<int>(value);
  }
  return ip_network{*base, bits + (128 - width)};
}

bool ip_network::contains(const ip_address &address) const {
  for (int bit = 0; bit < prefix_bits; ++bit) {
    const uint8_t mask = static_cast<uint8_t>(0x80 >> (bit % 8));
    if ((base.bytes[bit / 8] & mask) != (address.bytes[bit / 8] & mask)) return false;
  }
  return true;
}

bool client_resolver::trusted(const ip_address &address) const {
  return std::any_of(trusted_.begin(), trusted_.end(),
                     [&](const ip_network &network) { return network.contains(address); });
}

client_address client_resolver::resolve(
    const std::string &peer, int peer_port,
    const std::vector<std::string> &forwarded_for) const {
  const std::optional<ip_address> peer_address = ip_address::parse(peer);
  if (!peer_address) return {peer, peer_port};
  client_address client{peer_address->text(), peer_port};
  if (!trusted(*peer_address)) return client;

  // Every hop, oldest first, over all the headers as received.
  std::vector<std::string> hops;
  for (const std::string &header : forwarded_for) {
    size_t start = 0;
    while (start <= header.size()) {
      const size_t comma = std::min(header.find(',', start), header.size());
      hops.push_back(header.substr(start, comma - start));
      start = comma + 1;
    }
  }
  // Right to left: the first hop not trusted is the client. One that is no
  // address ends the walk at the trusted hop that wrote it.
  for (auto hop = hops.rbegin(); hop != hops.rend(); ++hop) {
    const std::optional<ip_address> address = ip_address::parse(*hop);
    if (!address) break;
    client = {address->text(), -1};
    if (!trusted(*address)) break;
  }
  return client;
}
