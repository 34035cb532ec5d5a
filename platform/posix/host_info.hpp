#pragma once

#include <string>
#include <vector>

// Facts about this machine and its resolver.
namespace vantreel::platform::posix {

// uname(2)'s machine field ("x86_64", "aarch64"), or empty when it cannot be read.
[[nodiscard]] std::string machineHardwareName();

// The IPv4 addresses the system resolver gives for host (AF_INET, SOCK_STREAM, no service), as
// numeric text in the resolver's order, repeats included; empty when it resolves to none.
[[nodiscard]] std::vector<std::string> ipv4Addresses(const std::string& host);

}  // namespace vantreel::platform::posix
