// Finding the install server: DSCV on every card once a second until an OFFR arrives for one
// of them, then YACK to that server; its answer makes it the peer for the rest of the
// installation.
#pragma once

#include <string>

struct NetContext;

// Line 2 of an offer may hold at most this many characters.
constexpr size_t kMaxOfferText = 512;

// Announces the disk label until a server has offered and answered the confirmation; then
// the context holds the server (selected card, peer address) and a new FileTransfer on it.
// Returns the offer's keep flag (line 3 "keep": keep the old configuration). Never gives up.
bool discover_server(NetContext& context, const std::string& label);

// The search of the network flow: prints "\nWaiting for installation server..." and runs
// discover_server. While the card list is empty (a rescan found none) it looks for cards
// again once a second, saying "\nCouldn't find any installation server on network" (with
// the waiting line) only every tenth time, until a card comes up. Returns the keep flag.
bool find_install_server(NetContext& context, const std::string& label);
