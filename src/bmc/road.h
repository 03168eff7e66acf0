// SPDX-License-Identifier: MIT
// The roads to a BMC. Discovery (discovery.cpp) counts the BMCs and opens
// one per pass; the exchange (exchange.cpp) carries every request of the
// pass on the road that opened it and hands the same bytes up whichever it
// is. Each road is one folder of this room with these entry points, called
// only by those two files:
//
//   counting     how many BMCs the road serves, into FoundBmc (scan mode)
//   opening      the next BMC, for one pass: 1 on success
//   exchange     one request (NetFn/LUN, command, data) and its answer
//                (NetFn/LUN, command, completion code, data): 1, or 0 with
//                the failure said
//   closing      the BMC the pass opened
//
// What the capture records of a road is what it asks of the seam: the
// driver's device nodes, ioctls and selects; the KCS ports' accesses; the
// network road's requests and answers as the exchange hands them (never a
// key, a password, a random number or a session ID).
//
// A new road: a folder with its entry points, one enumerator below, and one
// case where discovery.cpp and exchange.cpp choose the road.
#pragma once

enum BmcRoad {
    ROAD_DRIVER,  // the Linux IPMI driver's device node (driver/)
    ROAD_KCS,     // the BMC's KCS interface through I/O ports, with -dio (kcs/)
    ROAD_LAN,     // a BMC on the network, IPMI v2.0 RMCP+, with --lan (lan/)
};

// The road the BMC of the pass under way was opened on.
extern BmcRoad Road;
