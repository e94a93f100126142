#include "localaddresses.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>

namespace {

bool reachableFromOutside(const ifaddrs& entry) {
  return entry.ifa_addr != nullptr && entry.ifa_addr->sa_family == AF_INET && (entry.ifa_flags & IFF_UP) != 0 &&
         (entry.ifa_flags & IFF_LOOPBACK) == 0;
}

}  // namespace

std::vector<std::string> interfaceAddresses() {
  std::vector<std::string> addresses;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    return addresses;
  }
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (!reachableFromOutside(*entry)) {
      continue;
    }
    char text[INET_ADDRSTRLEN];
    const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    if (inet_ntop(AF_INET, &ipv4->sin_addr, text, sizeof text) != nullptr &&
        std::find(addresses.begin(), addresses.end(), text) == addresses.end()) {
      addresses.emplace_back(text);
    }
  }
  freeifaddrs(list);
  return addresses;
}

std::string joinAddresses(const std::vector<std::string>& addresses) {
  std::string joined;
  for (const std::string& address : addresses) {
    if (!joined.empty()) {
      joined += " 或 ";
    }
    joined += address;
  }
  return joined;
}

std::string listLocalAddresses() { return joinAddresses(interfaceAddresses()); }
