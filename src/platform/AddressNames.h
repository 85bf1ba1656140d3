#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace platform {

// The name of the computer behind a numeric address, as a print server's records should show
// it: a job that Samba hands to the scheduler carries the client's IP address, which follows
// DHCP leases. A reverse DNS name that the forward lookup confirms is taken first, then the name
// the computer gives for itself in a NetBIOS node status query (UDP port 137, what Windows
// computers and nmbd answer), then an unconfirmed reverse DNS name; never this computer's own
// name. Any of them can be claimed by anyone on the network: a record's computer is what the
// network said, not proof. The answer, or the address when nothing names it, is kept per address
// for an hour. Anything that is not a numeric address comes back unchanged. Names are cut to
// their first label and keep only characters a record and a file name can hold.
//
// The lookup runs on a thread of its own; the caller waits at most `wait` for it and gets the
// address when no name came by then (the name is kept for later jobs when it comes). Thread-safe.
std::string ComputerNameOfAddress(const std::string& address,
                                  std::chrono::milliseconds wait = std::chrono::milliseconds(2000));

// Which of the names the network gave for an address a record takes (see above): empty when
// none will do.
std::string ChooseComputerName(const std::string& confirmedDnsName, const std::string& netbiosName,
                               const std::string& dnsName, const std::string& ownName);

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
// Names addresses with this function instead of the network, from now on (tests).
void UseNameLookupForTests(std::function<std::string(const std::string&)> lookup);

}  // namespace platform
