/*
 * conf_doc.h - editing a configuration file without losing a byte.
 *
 * Compiles as C99 and as C++.  A CONF_DOC holds the text of one
 * configuration file exactly as it was read.  An edit changes only the lines
 * it must (the logical line of the entry it sets, the lines it adds or
 * removes) and leaves every other byte as it was: comments, blank lines,
 * indentation, spacing, line ends, a byte-order mark.  Where the edited lines
 * are is learnt from the loader itself (the same scanning as CONF_load), so
 * an edit sees the file exactly as a load does.
 *
 * Every call that can fail leaves the document as it was when it fails,
 * and records its error (number, text and, where a line is concerned, the
 * line) for CONF_doc_last_error; a call that succeeds clears that record.
 * An error's line counts physical lines, from 1, of the document's text as
 * it stands when the call is made (for a call that fails, the text it left
 * as it was): after edits, that is not the file's numbering.
 * CONF_doc_line_origin tells which line of the text as read a line is, or
 * which edit wrote it.
 * Results are 0 (or the count the call describes) on success and a negative
 * error number of conf.h on failure:
 *   -100 a null document, or a null name or value where one is needed (the
 *        text names what was null: "null name pointer", "null value
 *        pointer", "null raw text pointer")
 *   -101 "unable to open configuration file"
 *   -102 "memory allocation fail"
 *   -108 "error reading configuration file"
 *   -110 "name cannot be written": no line of the format gives that name
 *        (for example an entry name with a blank that is not a backslash
 *        pair, or a value given to set_raw that does not read back as itself)
 *   -111 "text does not parse": a line of the text is not a blank line, a
 *        comment, a header or an entry (the errors -104 and -105 of a load);
 *        the line is recorded
 *   -112 "file changed since it was read"
 *   -113 "error writing configuration file"
 *   -114 to -119: what a save refuses or meets (CONF_doc_save below)
 * and, from CONF_doc_save, the error a load of the text gives (with its
 * line).  Where the system gave a reason (-101, -108, -113, -114), errno
 * holds it when the call returns.
 *
 * A section argument of null means "default".  Sections and names are byte
 * strings as the loader stores them: a header's name after its escapes are
 * translated, an entry's name and a qualifier exactly as written.
 *
 * Memory: the document owns its text and the copy it compares a file with
 * (one block while they are the same, from malloc), released by
 * CONF_doc_free; it also keeps an index of the text's header and entry
 * lines (built by the read's scan, 32 bytes a line and the names),
 * so that an edit scans only the lines it writes, and from the first edit
 * tables of that index (about 13 bytes a line) and the edits kept aside,
 * which the next call that reads the text drops.  Nothing here keeps a
 * pointer the caller gave.  A document is used by one thread at a time.
 *
 * Cost: a read scans the text once, as a load does, but keeps no entry
 * unless the text has a reference (a '$'): about half a load.  Most edits
 * then cost a few microseconds whatever the text's size: they are kept
 * aside, with the room they will take, and the next call that reads the
 * text (CONF_doc_text, CONF_doc_check, CONF_doc_line_origin,
 * CONF_doc_save) puts them all in at once, in time linear in the text.
 * Those calls take no memory for it, so they never fail for want of it.
 * The first edit after a read or after the text was put together builds
 * tables of the index, linear in its lines.  An edit that needs the whole
 * text (a value with a reference, a text without a final line end, an
 * edit on the first line, a default entry before the first header, the
 * removal of a section with another section's line in its block) puts the
 * kept edits in and scans the text, or copies it.  So does every edit of a
 * text whose section and entry names add up to 4 GiB or more: it keeps no
 * index.
 */
#ifndef NIVRA_CONF_DOC_H
#define NIVRA_CONF_DOC_H

#include <stddef.h>

#include "conf.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One configuration file's text, kept byte for byte. */
typedef struct CONF_DOC CONF_DOC;

/*
 * Where one physical line of a document's text came from (see
 * CONF_doc_line_origin).  A line read is one of the text as last read by
 * CONF_doc_read_file or CONF_doc_read_buffer (the empty text of
 * CONF_doc_new counts as read), still whole and unchanged; every other
 * line was written, or changed, by an edit.
 */
typedef struct CONF_DOC_LINE {
    int read_line;  /* a line read: its number in the text as read; else 0 */
    int edit;       /* a line written: the edit's number; else 0 */
    int unresolved; /* 1: a line read that was part of a definition whose
                       value did not expand (a reference without a value, an
                       unclosed brace, an expansion too long) in this process
                       when the text was read; else 0 */
} CONF_DOC_LINE;

/* A document with an empty text, read from nowhere; null when memory is
 * exhausted. */
CONF_DOC *CONF_doc_new(void);

/* Releases the document and everything it owns; null is ignored. */
void CONF_doc_free(CONF_DOC *doc);

/*
 * Replaces the document's text with the contents of the file at path and
 * remembers them, with the path, as what CONF_doc_save compares that file
 * with.  The text need not load (an edit or a save tells).  The file is
 * remembered by what it is (device and inode) and where it stands (its
 * directory and name), not by the spelling of path.  Returns 0; -101 when
 * the file cannot be opened (a null path included); -108 when it cannot be
 * read (a directory, an I/O error); -117 when it is a device, FIFO or
 * socket (refused before a byte is read, so /dev/zero or a pipe never
 * hangs the call); -102 when memory runs out.
 */
int CONF_doc_read_file(CONF_DOC *doc, const char *path);

/*
 * Replaces the document's text with a copy of len bytes at data (NUL bytes
 * included; null data with len 0 is an empty text).  The document then has
 * no file: a save writes without checking for another writer.  Returns 0,
 * -101 for null data with a non-zero len, -102 when memory runs out.
 */
int CONF_doc_read_buffer(CONF_DOC *doc, const void *data, size_t len);

/*
 * The document's text, NUL-terminated; *len (when len is not null) receives
 * its true length, which counts NUL bytes inside it.  Owned by the document
 * and valid until the next call that changes it or CONF_doc_free.  Null for
 * a null document.
 */
const char *CONF_doc_text(const CONF_DOC *doc, size_t *len);

/*
 * Gives the entry (section, name) the value value, a literal: the text
 * written for it is escaped or quoted wherever the format would otherwise
 * change it ("$", quotes, "#", backslashes, leading and trailing blanks,
 * TAB, CR, LF, backspace), so that a load of the new text stores exactly
 * these bytes.  Values that refer to the entry change as a load makes
 * them; nothing else changes.
 *
 * When the text defines the entry, only the logical line of its last
 * (effective) definition changes, continuation lines included; its
 * indentation, qualifier and name as written, spacing around "=" and any
 * comment after the value stay.  Earlier definitions stay as they are.
 * Otherwise lines are only added: after the last entry of the section's
 * last block (with that entry's indentation); for "default", before the
 * first header when the text has no default entry; else a new header and
 * the entry at the end of the text (after a blank line when the text is
 * not empty).  Added lines end as the text's first line does (LF or
 * CR LF); a text without a final line end gets one first.
 *
 * Setting the value the entry already has changes no byte.  Returns 0;
 * -110 when no line can give the name (or, for a new section, its header);
 * -111 when the text has a line that does not parse; -102.
 */
int CONF_doc_set(CONF_DOC *doc, const char *section, const char *name, const char *value);

/*
 * CONF_doc_set with raw written as the value's text as it stands, so that
 * its references and escapes take effect when the file loads.  raw must
 * read back as the value's text: no line end, no comment, no leading or
 * trailing blank, and no odd run of backslashes at its end (which would
 * continue the line, or lose its last backslash) (-110 otherwise).  Unresolved
 * references are no error here (CONF_doc_save decides which it refuses).
 * When the definition's text already is raw, no byte changes.
 */
int CONF_doc_set_raw(CONF_DOC *doc, const char *section, const char *name, const char *raw);

/*
 * Removes every logical line that defines (section, name), in the
 * section's blocks or qualified elsewhere, so that the text no longer
 * defines it; nothing else changes.  Returns the number of definitions
 * removed (0: nothing changed), -111, -102.
 */
int CONF_doc_unset(CONF_DOC *doc, const char *section, const char *name);

/*
 * Removes the section: its headers and every line of their blocks (up to
 * the next header, comments and blank lines included), and its qualified
 * entries elsewhere.  A comment block directly above a header (comment
 * lines with no blank line between them and the header) belongs to that
 * header: it goes with its own section's header, and stays with the next
 * section's.  A qualified entry of another section inside one of its
 * blocks stays.  For "default", whose first block has no header, the
 * entries of that block go and its comments stay.  Returns the number of
 * physical lines removed (0: nothing changed), -111, -102.
 */
int CONF_doc_remove_section(CONF_DOC *doc, const char *section);

/*
 * Loads the document's text into ctx exactly as CONF_load_buffer does
 * (adding to what ctx holds; errors recorded in ctx) and returns what it
 * returns.  The document is not changed and records nothing.
 */
int CONF_doc_check(const CONF_DOC *doc, CONF_CTX *ctx);

/*
 * Writes the text to path so that the file holds either its old contents
 * or the whole new text, whatever happens meanwhile (a crash, a kill, a
 * full disk).  CONF_doc_save_with with no flags and a wait for another
 * writer's lock of CONF_DOC_DEFAULT_WAIT_MS.
 *
 * How: path is opened once (the kernel follows links, so when path is a
 * symbolic link its target is replaced, not the link) and the file's
 * directory is opened and checked to hold that very file under its name;
 * every later step goes through those two descriptors.  Under the writers'
 * lock the file must still be there and, when the document was read from
 * this file (or last saved to it, or read from where it stands, whatever
 * the spelling of path), be the same file with the contents read:
 * otherwise -112.  The new text goes to a new file in the same directory,
 * unnamed until complete (or named, readable by this process's user alone,
 * where the filesystem cannot make unnamed files); it is given the old
 * file's owner and group, then its mode (setuid, setgid and sticky bits
 * included), then its extended attributes (the POSIX ACL, user.*,
 * trusted.*, security.*: every one the process can read), and the inode
 * flags nodump, noatime, sync, compress, nocompress and nocow, all before
 * a byte of the text is written; it is synced, renamed over the old file,
 * and the directory is synced.  A path that names nothing is created, with
 * the mode a new file gets (0666 less the umask, or the directory's default
 * ACL), never through a dangling link and never over a file that appeared
 * meanwhile.  A save also removes the temporary files that earlier saves of
 * the same file left when they were killed outright (named
 * ".nivra-HASH-PID-N.tmp", 45 bytes whatever the file's name; removed when
 * their writer is gone and they belong to this process's user).
 *
 * Security: the process may run as root; other local users may own
 * directories on the path, may read the file and may run programs at any
 * moment of the save.  None of them can redirect the write (a directory
 * swapped for a link after the check changes nothing), read or change the
 * new text before it is in place, leave the process waiting without end, or
 * gain access to the file that they did not have.  Writers exclude each
 * other with a lock on a lock file beside the file (".nivra-HASH.lock",
 * removed when the save ends) which only those who may write the file can
 * open: users who may only read the file cannot take it.  A user who may
 * write the directory can hold that lock; the wait for it is bounded.
 *
 * Refused, with nothing written, the file and its directory as they were,
 * no temporary file left, and the document unchanged:
 *   - a text that does not load in this process: the load's error number,
 *     text and line (in the text as it stands).  A definition whose value
 *     does not expand (-106, -107, -109) refuses the save only when the
 *     edits broke it or wrote one of its lines: one whose lines are all
 *     lines read that already did not expand when the text was read
 *     (CONF_DOC_LINE.unresolved) is written as it stands, for a variable of
 *     the environment the file is written for need not be set in the
 *     editor's;
 *   - -112 when the file changed since it was read, as above (a file
 *     replaced while this call waited for the lock is such a change);
 *   - -114 "file is not writable": the process may not open the file for
 *     writing (even where it could replace it: the shell's ">>" refuses
 *     such a file too), or the file is immutable or append-only; errno says
 *     why;
 *   - -115 "file property cannot be kept": the process cannot give the new
 *     file the old one's owner, group, mode, an ACL, an extended attribute
 *     or an inode flag (a user saving a file of another owner, say).
 *     CONF_doc_last_error names the property ("file property cannot be
 *     kept: group"); CONF_DOC_IN_PLACE keeps them all;
 *   - -116 "file is locked by another process": another writer held the
 *     lock for the whole wait;
 *   - -117 "not a regular file": a device, FIFO or socket (a directory
 *     gives -113 with errno EISDIR);
 *   - -118 "file has more than one link": replacing it would leave the
 *     other names with the old text (CONF_DOC_IN_PLACE writes through all
 *     of them);
 *   - -101 for a null path, and for a path that is a dangling symbolic link
 *     (errno ENOENT);
 *   - -113 (errno holds the reason) when the directory cannot be opened,
 *     or the new file cannot be made (the directory is not writable: EACCES),
 *     written (a full disk), synced or renamed over the old one (EBUSY: it
 *     is a mount point; CONF_DOC_IN_PLACE serves it);
 *   - -102 when memory runs out.
 * A text equal to the file's contents is not written (0).
 *
 * After the rename the save has happened: when the directory sync then
 * fails, the result is -119 "saved, but the directory could not be
 * synced" (the text is in place; a crash might still bring back the old
 * file).  After 0 or -119 the text and the file are the document's new
 * reference.
 */
int CONF_doc_save(CONF_DOC *doc, const char *path);

/* Flags of CONF_doc_save_with. */
/*
 * Rewrite the file's own contents through its descriptor instead of
 * replacing it: the inode, and so its owner, links, attributes and mount,
 * stay as they are.  For the files a rename cannot serve: several hard
 * links, a bind-mounted file, a file whose owner the process cannot give a
 * new file.  Under the same lock and the same check for another writer.
 * Not atomic: a crash or a full disk during the write can leave the file
 * partly written (-113).  The file must exist (-101 otherwise).
 */
#define CONF_DOC_IN_PLACE 0x1u
/*
 * Create the file: -112 when anything (a file, a link) is at path already,
 * made by another writer since the caller found nothing there.  The new
 * file appears complete, never empty.
 */
#define CONF_DOC_NEW_FILE 0x2u

/* How long CONF_doc_save waits for another writer's lock, in milliseconds. */
#define CONF_DOC_DEFAULT_WAIT_MS 10000

/*
 * CONF_doc_save with flags (0, CONF_DOC_IN_PLACE or CONF_DOC_NEW_FILE;
 * other bits are ignored) and a wait for another writer's lock of at most wait_ms
 * milliseconds (0 or less: none), after which it gives -116.  Results as
 * CONF_doc_save's.
 */
int CONF_doc_save_with(CONF_DOC *doc, const char *path, unsigned flags, int wait_ms);

/*
 * Fills *origin (when not null) with where line line (counted from 1) of
 * the document's text came from: the line of the text as last read that it
 * is, or the edit that wrote it.  Edits are numbered from 1 in the order
 * they were made since that read: each CONF_doc_set, CONF_doc_set_raw,
 * CONF_doc_unset and CONF_doc_remove_section that succeeded counts, whether
 * or not it changed a byte; a save does not change the numbering.  Returns
 * 0; -1, with *origin unchanged, for a null document or a line the text
 * does not have.  Records nothing.
 */
int CONF_doc_line_origin(const CONF_DOC *doc, int line, CONF_DOC_LINE *origin);

/*
 * The error the last call recorded: its text ("" when none) and, through
 * line when not null, its line (0 when none applies).  Owned by the
 * document; valid until its next call.  "" and 0 for a null document.
 */
const char *CONF_doc_last_error(const CONF_DOC *doc, int *line);

#ifdef __cplusplus
}
#endif

#endif /* NIVRA_CONF_DOC_H */
