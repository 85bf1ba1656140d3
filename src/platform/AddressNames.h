#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace platform {

// The name of the computer behind a numeric address, as a print server's records should show
// it: a job that Samba hands to the scheduler carries the client's IP address, which follows
// DHCP leases. Reverse DNS is asked first, then the computer itself through a NetBIOS node
// status query (UDP port 137, what Windows computers and nmbd answer); the answer, or the
// address when neither knows a name, is kept per address for an hour. Anything that is not a
// numeric address comes back unchanged. Names are cut to their first label and keep only
// characters a record and a file name can hold. Thread-safe; a lookup may take up to about a
// second for a silent computer (plus what the resolver takes), once per address and hour.
std::string ComputerNameOfAddress(const std::string& address);

// The NetBIOS name a computer gives for itself in answer to a node status query; empty when it
// does not answer within the timeout (tries twice) or the answer makes no sense.
std::string NetbiosNameOf(const std::string& ipv4Address, std::uint16_t port = 137,
                          std::chrono::milliseconds timeout = std::chrono::milliseconds(400));

// A name from the network as it may stand in a record: printable ASCII without the characters
// of paths and record fields, the first DNS label only, at most 63 characters; empty when
// nothing is left.
std::string CleanComputerName(const std::string& name);

// Forgets every cached answer (tests).
void ForgetAddressNames();

}  // namespace platform
