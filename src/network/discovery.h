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
