// Pulling files from a chosen server: a RETR first yields the next file's name and size (a
// FILE reply) or the server's news that there are no more, further RETRs yield the file's
// bytes in blocks of up to 4076 bytes, and an empty block ends it. Also the short exchanges
// around the files: the driver request (DRVR/OFDR), the start request (STRT) and the closing
// WTRM/TERM exchange.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "network/net_message.h"
#include "pkgmgr/install_child.h"

struct NetContext;
struct NetInterface;
struct PeerSession;

// A file name from the server must be shorter than this (it fills an 80-byte field).
constexpr size_t kMaxFileName = 80;
// RETR: 300 attempts of 20 milliseconds; STRT: 5 attempts of 1 second.
constexpr uint32_t kRetrTimeout = 20000;
constexpr int kRetrTries = 300;
constexpr uint32_t kStartTimeout = 1000000;
constexpr int kStartTries = 5;

struct FileTransfer {
  FileTransfer(NetInterface& interface, PeerSession& session)
      : interface(&interface), session(&session) {}

  std::string name;      // the current file's name, from the FILE reply
  int32_t size = 0;      // announced size; 0 when there is no file
  int block_length = 0;  // payload length of the last data reply
  int total = 0;         // bytes of the current file handed out so far
  int position = 0;      // bytes of the last data reply already handed out
  NetMessage reply;      // the last reply received
  NetInterface* interface;  // the card on which the server answered (not owned)
  PeerSession* session;     // the context's session (not owned)
};

enum class NextFile {
  Opened,  // a FILE reply announced a file: name and size are set
  End,     // the server said there are no more files (a non-FILE reply, a negative size or a
           // FILE reply without its name or size lines)
  Failed,  // no reply in time, or a name that does not fit: the transfer cannot go on
};

// Asks for the next file. Every field is reset first; only the FILE reply's bytes are read.
NextFile open_next_file(FileTransfer& transfer);

// Copies up to max bytes of the current file into buffer, asking for the next block when the
// last one is used up. Returns the count, 0 at the end of the file (the empty block), -1 when
// the server stopped answering. The announced size does not limit the reading.
int read_file_data(FileTransfer& transfer, void* buffer, size_t max);

// Broadcasts "DRVR\n<release>" until a driver server answers with OFDR; that server becomes
// the peer. Does not give up.
void find_driver_server(NetContext& context, const std::string& kernel_release);

// Feeds the current file of the context's transfer into a new installation child started for
// request. False after "couldn't start install" or "bad network connection", printed here.
// A child that refuses the archive (it reports why) or stops reading ends only this file: the
// rest of it is still received, and *installed (when given) tells what became of it.
bool install_from_transfer(NetContext& context, const InstallChildRequest& request,
                           bool* installed = nullptr);

// The STRT exchange on the selected card: true when the server answered at all.
bool request_start(NetContext& context);

// Repeats WTRM once a second (always the same datagram) until the server answers with TERM
// or a key is pressed on the console (the key is left unread). Never fails.
void wait_for_termination(NetContext& context);
