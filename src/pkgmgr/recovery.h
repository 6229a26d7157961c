// Finishing or undoing what an installation that died midway left behind.
//
// Every installation that writes a record keeps a journal log in the database directory
// (pkgmgr/journal.h). The next run, before it loads the database, goes through the logs that
// no living process holds, newest first: a committed transaction has its remaining backups
// deleted; any other is undone: the entries it created and the record directories it made
// are removed, then what it moved aside comes back and the states it changed are written
// back. Only logs the manager itself made are trusted: regular files of its own user with
// mode 0600 and a single name, in the log format; anything else is deleted unread. An entry
// is undone only in the very directory (device and inode) the log names. Recovery never
// deletes an entry that a record outside the undone transactions names (or a file inside
// such a record), never follows a link out of the target, and reports nothing; a log whose
// restores fail stays for the next run. A spool left by an installation child is removed.
#pragma once

// Where the logs live (installer path), how their names begin and their first line's start.
inline constexpr char kJournalDir[] = "/flash/var/pdb/";
inline constexpr char kJournalPrefix[] = ".kpk-journal-";
inline constexpr char kJournalHeader[] = "kpk journal 2 ";

// Recovers every log under kJournalDir; nothing when there is none or the directory cannot
// be read.
void recover_journals();
