// quarv.utils.dorvex.plugins.localhost.ftp.dorvex: the FTP plug-in of the file-transfer service.
// Every remote operation is one session of its own: the base class parses the URL and gives the
// credentials, a new FTP client connects, logs in, runs the operation's commands and quits.
//
// Where the session's block fails, that error is the one the caller gets: leaving the client
// sends QUIT, which after an aborted transfer reads the transfer's own error reply and would
// otherwise replace the error that aborted it.
//
// A download is written to a temporary file beside the target, which replaces the target only once
// the whole file has arrived: a refused or broken transfer leaves the target as it was. An existing
// target ends as writing it in place would leave it: the new file is given its owner, group,
// extended attributes and mode before it is written, and where it cannot be given them all, or the
// target has other links, the arrived file is copied into the target itself.
#include <array>
#include <cerrno>
#include <tuple>
#include <utility>

#include "native/collections.hpp"
#include "native/native.hpp"

namespace {
using namespace native;

namespace doc {
const char* module = R"(FTP file-transfer class for Linux servers.

Every operation of the base class that FTP does not support is to be overridden here to raise
NotImplementedError.

Each operation opens an FTP connection of its own, logs in with the credentials the base class gives
for the server, runs its commands and closes the connection before it returns. FTP sends the user
name and the password in clear text: there is no other way here.)";

const char* filemode_to_mode = R"( Convert a filemode string to an os.stat.st_mode style number.

    Example
    -------
    >>> import stat
    >>> my_filemode = "-rw-r--r--"
    >>> stat.filemode(filemode_to_mode(my_filemode))
    '-rw-r--r--'
    )";

const char* copyfile = R"(Copy a single file.

One file is copied either from local to remote (upload true: STOR) or from remote to local (upload
false: RETR). Remote to remote transfers are not supported; they take two calls, one down and one up.
The side that upload marks as local is taken as a local path.

A download is written to a temporary file in the target's folder, which replaces the target only when
the whole file has arrived: when the server refuses the file, or the transfer breaks off or runs out
of time, the target stays as it was and the temporary file is removed. An existing target ends as
writing it in place would leave it: it keeps its owner, group, permission bits and extended
attributes, and every hard link of it shows the new content. Where the new file cannot take its place
so (the target has other links, or an owner, group or attribute that the downloader cannot give a new
file), the whole file is copied into the target once it has arrived. Set-id bits are dropped as a
write in place drops them (for a downloader without the privilege to keep them). A target that is no
regular file (a device, a pipe), or whose folder takes no new file, is written directly.

The user name and the password go to the server in clear text.

:param source: URL of the file to read
:param destination: URL of the file to write
:param timeout_seconds: The number of seconds to wait before aborting the operation. It is the
    socket timeout of the connection, and also the limit of the transfer as a whole, counted from
    the end of the login and checked every PROGRESS_IGNORE_COUNT + 1 blocks. None: no limit.
:param upload: keyword only, required: true copies the local source to the remote destination,
    false the remote source to the local destination
:param strip_leading_slash: keyword only: remove one leading "/" from the remote path
:raises Exception: for a request to copy from one remote server to another, where the calling
    service refuses it
:raises TimeLimitExceededOnFileTransfer: when the transfer takes longer than timeout_seconds)";

const char* normalize_filename = R"(Normalize a remote filename/path to work across different servers.

The path to the file is constructed whether or not the file name already has parent directory
elements included: only the file name's last element is kept, under the parent path, from the root.
A name that ends in "/" is returned as it is.

Examples: "extra/paths/myfile.txt" and "myfile.txt", each with the parent path "/my/parent/path",
both give "/my/parent/path/myfile.txt".)";

const char* dir = R"(Retrieve filenames contained in a directory.

Subdirectories are not recursed into: only the top level of the given directory is listed (NLST),
and every name the server lists is returned, subdirectories included, in the server's order.

:param target: URL of the remote directory
:param timeout_seconds: the socket timeout of the connection, in seconds
:param strip_leading_slash: keyword only: remove one leading "/" from the directory's path
:returns: a list of file name URLs, each the target URL with the file's absolute path)";

const char* stat = R"( Retrieve file details such as length and permissions.

Reads the one line that LIST gives for the file, in either of the two forms of a Unix long listing
(with a time of day, or with a year), and returns an AttrDict with st_mode, st_nlink, st_uid,
st_gid (left out when the line has no group column), st_size and st_mtime. The listed time is read
as UTC; a time-of-day line is dated in the current year, or in the previous one when that date would
lie more than a day ahead.

:param target: URL of the remote file
:param timeout_seconds: the socket timeout of the connection, in seconds
:param strip_leading_slash: keyword only: remove one leading "/" from the file's path
:raises Exception: when the listing holds more than one line or a line naming another file (a
    directory was asked for), no line, or a line of neither form)";

const char* chmod = R"(Change file permissions.

:param target: URL of the remote file
:param mode: the permission bits as os.chmod takes them, such as 0o644 (sent as SITE CHMOD)
:param timeout_seconds: the socket timeout of the connection, in seconds
:param strip_leading_slash: keyword only: remove one leading "/" from the file's path
:returns: None when the operation succeeded)";

const char* deletefile = R"(Delete a remote file (DELE).

:param target: URL of the remote file
:param timeout_seconds: the socket timeout of the connection, in seconds
:param strip_leading_slash: keyword only: remove one leading "/" from the file's path)";

const char* renamefile = R"(Rename a remote file (RNFR, RNTO).

Both URLs must name the same server and the same port; otherwise Exception is raised before any
connection is made.

:param source: URL of the file
:param destination: URL of its new name and place
:param timeout_seconds: the socket timeout of the connection, in seconds
:param strip_leading_slash: keyword only: remove one leading "/" from both paths)";

const char* getspace = R"(The available disk space of the file server, in bytes, for the directory URL target.

Not supported over FTP: always raises NotImplementedError.)";

const char* upload_cb = " Callback invoked during file upload. ";
const char* download_cb = " Callback invoked during file download. ";
}  // namespace doc

// The inner functions that every copyfile and stat make anew.
struct State {
    FunctionTemplate check_for_timeout;
    FunctionTemplate upload_cb;
    FunctionTemplate download_cb;
    FunctionTemplate dir_output_callback;
    template <typename Visit>
    void visit(Visit& v) {
        v(check_for_timeout);
        v(upload_cb);
        v(download_cb);
        v(dir_output_callback);
    }
};

// ----- small pieces ------------------------------------------------------------------------------

// `pattern.format(args...)`
template <typename... Args>
object format(const char* pattern, const Args&... args) {
    return call_method(text(pattern), "format", args...);
}

// `sequence[index]` through the object's own __getitem__.
object index_item(handle sequence, Py_ssize_t index) {
    return steal(PyObject_GetItem(sequence.ptr(), integer(index).ptr()));
}

void log_debug(Frame& f, handle message) { call_method(NATIVE_GLOBAL(f, "logger"), "debug", message); }

// `raise <the built-in Exception>(message)`
[[noreturn]] void raise_exception(handle exc_type, handle message) { raise(call(exc_type, message)); }

// ----- the session frame -------------------------------------------------------------------------

// What the base class makes of one remote URL.
struct Remote {
    object server_name;
    object parsed_port;
    object port;  // parsed_port when true, else 0
    object path;
};

// `self.validate_and_parse_url(url, operation)`, unpacked.
std::array<object, 3> parse_url(handle self, handle url, Name operation) {
    return unpack<3>(call_method(self, "validate_and_parse_url", url, handle(intern(operation))));
}

// One leading "/" off the path when asked for.
object stripped(handle path, handle strip_leading_slash) {
    if (truth(strip_leading_slash) && truth(path) && equal(index_item(path, 0), text("/"))) {
        return steal(PySequence_GetSlice(path.ptr(), 1, PY_SSIZE_T_MAX));
    }
    return borrow(path.ptr());
}

Remote with_port(std::array<object, 3> parsed, handle strip_leading_slash) {
    auto& [server_name, parsed_port, path] = parsed;
    object port = truth(parsed_port) ? parsed_port : integer(0);
    return Remote{server_name, parsed_port, port, stripped(path, strip_leading_slash)};
}

Remote parse_remote(handle self, handle url, Name operation, handle strip_leading_slash) {
    return with_port(parse_url(self, url, operation), strip_leading_slash);
}

std::pair<object, object> credentials(handle self, handle server_name) {
    return unpack2(call_method(self, "get_auth", server_name));
}

// `with FTP() as ftp_sess: block(ftp_sess)`, except that an error raised inside the block wins over
// an error of the client's exit (an Exception; a KeyboardInterrupt there still goes through).
template <typename Block>
void ftp_session(Frame& f, Block&& block) {
    object client = call(NATIVE_GLOBAL(f, "FTP"));
    object block_error;
    try {
        with(client, [&](handle ftp_sess) {
            try {
                block(ftp_sess);
            } catch (...) {
                Caught error;
                block_error = borrow(error.value().ptr());
                error.rethrow();
            }
        });
    } catch (...) {
        Caught failure;
        if (block_error && failure.value().ptr() != block_error.ptr() && failure.matches(PyExc_Exception)) {
            raise_again(block_error);
        }
        failure.rethrow();
    }
}

void connect_and_login(handle ftp_sess, const Remote& remote, handle timeout_seconds, handle username,
                       handle password) {
    call_kw(attr(ftp_sess, "connect"), {},
            {{"host", remote.server_name}, {"port", remote.port}, {"timeout", timeout_seconds}});
    call_kw(attr(ftp_sess, "login"), {}, {{"user", username}, {"passwd", password}});
}

// ----- filemode_to_mode(filemode) ----------------------------------------------------------------

// The first (bit, character) pair of the row whose character is `character`: its bit, or nothing.
object bit_of(handle row, handle character) {
    object found;
    for_each(row, [&](handle pair) {
        auto [bit, row_character] = unpack2(pair);
        if (!equal(character, row_character)) return true;
        found = std::move(bit);
        return false;
    });
    return found;
}

object filemode_to_mode(Frame& f, handle filemode) {
    Py_ssize_t length = check_value(PyObject_Length(filemode.ptr()));
    object mode = integer(0);
    for (Py_ssize_t idx = 0; idx < length; ++idx) {
        object table = attr(NATIVE_GLOBAL(f, "libstat"), "_filemode_table");
        // characters past the table's rows (an access-list marker such as "+" or ".") carry no bits
        if (idx >= check_value(PyObject_Length(table.ptr()))) break;
        object row = index_item(table, idx);
        object character = index_item(filemode, idx);
        if (object bit = bit_of(row, character)) mode = steal(PyNumber_InPlaceOr(mode.ptr(), bit.ptr()));
    }
    return mode;
}

// ----- Dorvex.copyfile ---------------------------------------------------------------------------

// check_for_timeout(), over (self, timeout_seconds, progress_skipcount cell, start_time cell)
void check_time_limit(Frame& f) {
    handle self = f.closure(0);
    handle timeout_seconds = f.closure(1);
    handle progress_skipcount = f.closure(2);
    object count =
        steal(PyNumber_InPlaceAdd(cell_get(progress_skipcount, "progress_skipcount").ptr(), integer(1).ptr()));
    cell_set(progress_skipcount, count);
    object ignore_count = attr(self, "PROGRESS_IGNORE_COUNT");
    if (!check(PyObject_RichCompareBool(count.ptr(), ignore_count.ptr(), Py_GT))) return;
    cell_set(progress_skipcount, integer(0));
    if (timeout_seconds.is_none()) return;  // no limit on the transfer as a whole
    object start_time = cell_get(f.closure(3), "start_time");
    object now = call_method(NATIVE_GLOBAL(f, "time"), "time");
    object elapsed_time = steal(PyNumber_Subtract(now.ptr(), start_time.ptr()));
    if (check(PyObject_RichCompareBool(elapsed_time.ptr(), timeout_seconds.ptr(), Py_GT))) {
        raise(call(NATIVE_GLOBAL(f, "TimeLimitExceededOnFileTransfer")));
    }
}

object check_for_timeout(Frame& f) {
    check_time_limit(f);
    return py::none();
}

// upload_cb(data), over (check_for_timeout,)
object upload_cb(Frame& f, handle) {
    Frame check = frame_of(f.closure(0));
    check_time_limit(check);
    return py::none();
}

// download_cb(data), over (check_for_timeout, file_to_transfer cell)
object download_cb(Frame& f, handle data) {
    Frame check = frame_of(f.closure(0));
    check_time_limit(check);
    call_method(cell_get(f.closure(1), "file_to_transfer"), "write", data);
    return py::none();
}

struct Transfer {
    handle ftp_sess;
    object from_path;
    object to_path;
    object callback;
    handle file_to_transfer;  // the cell
};

void upload(Frame& f, const Transfer& t) {
    log_debug(f, format("Copying local file {} to remote location {} ...", t.from_path, t.to_path));
    with(call(NATIVE_GLOBAL(f, "open"), t.from_path, text("rb")), [&](handle file) {
        cell_set(t.file_to_transfer, file);
        call_kw(attr(t.ftp_sess, "storbinary"), {},
                {{"cmd", format("STOR {}", t.to_path)}, {"fp", file}, {"callback", t.callback}});
    });
}

// `with opened as file: ... ftp_sess.retrbinary(...)`; `prepare(file)` runs first, before any byte is
// written.
template <typename Prepare>
void retrieve_into(const Transfer& t, handle opened, Prepare&& prepare) {
    with(opened, [&](handle file) {
        prepare(file);
        cell_set(t.file_to_transfer, file);
        call_kw(attr(t.ftp_sess, "retrbinary"), {},
                {{"cmd", format("RETR {}", t.from_path)}, {"callback", t.callback}});
    });
}

void retrieve_into(const Transfer& t, handle opened) {
    retrieve_into(t, opened, [](handle) {});
}

// `os.stat(path)`, or nothing when there is no such file.
object stat_or_nothing(handle os, handle path) {
    try {
        return call_method(os, "stat", path);
    } catch (...) {
        Caught failure;
        if (!failure.matches(PyExc_FileNotFoundError)) failure.rethrow();
        return object();
    }
}

// A new file beside `target`, named after it, opened for writing: (its path, the file).
std::pair<object, object> create_beside(Frame& f, handle target) {
    object os = NATIVE_GLOBAL(f, "os");
    object os_path = attr(os, "path");
    object folder = call_method(os_path, "dirname", target);
    object name = steal(PySequence_GetSlice(call_method(os_path, "basename", target).ptr(), 0, 32));
    for (int attempt = 0;; ++attempt) {
        object token = call_method(call_method(os, "urandom", integer(6)), "hex");
        object path = call_method(os_path, "join", folder, format(".{}.{}.part", name, token));
        try {
            return {path, call(NATIVE_GLOBAL(f, "open"), path, text("xb"))};
        } catch (...) {
            Caught failure;
            if (attempt >= 100 || !failure.matches(PyExc_FileExistsError)) failure.rethrow();
        }
    }
}

void remove_quietly(Frame& f, handle path) {
    try {
        call_method(NATIVE_GLOBAL(f, "os"), "unlink", path);
    } catch (...) {
        Caught failure;
        if (!failure.matches(PyExc_OSError)) failure.rethrow();
    }
}

// An existing regular file that a download replaces: opened for writing (not emptied), which refuses
// it as open() would, and its status.
struct Existing {
    object fd;
    object status;
};

// The names of a file's extended attributes, or nothing where its file system keeps none.
object attribute_names(handle os, handle fd) {
    try {
        return call_method(os, "listxattr", fd);
    } catch (...) {
        Caught failure;
        if (!failure.matches(PyExc_OSError)) failure.rethrow();
        object code = attr(failure.value(), "errno");
        if (!PyLong_Check(code.ptr()) || as_long(code) != EOPNOTSUPP) failure.rethrow();
        return object();
    }
}

// The extended attributes of `from` given to `to`, which keeps none that `from` has not.
void copy_attributes(handle os, handle from, handle to) {
    object wanted = attribute_names(os, from);
    if (!wanted) return;
    if (object present = attribute_names(os, to)) {
        for_each(present, [&](handle name) {
            if (!contains(wanted, name)) call_method(os, "removexattr", to, name);  // a default ACL the folder gave
        });
    }
    for_each(wanted,
             [&](handle name) { call_method(os, "setxattr", to, name, call_method(os, "getxattr", from, name)); });
}

// Gives the new, still empty file what writing the target in place would keep: its owner and group,
// its extended attributes, its mode. False where the downloader cannot give all of that, or where the
// target has other links, which only a write into the target itself reaches.
//
// The file is emptied once all is given, and written afterwards, so the system drops set-id bits and
// file capabilities as it would on emptying and writing the target (a writer without the privilege
// to keep them loses them); the owner never changes, so no set-id bit moves to another owner.
bool give_what_the_target_has(handle os, handle libstat, handle file, const Existing& target) {
    if (as_long(attr(target.status, "st_nlink")) > 1) return false;
    object fd = call_method(file, "fileno");
    try {
        object own = call_method(os, "fstat", fd);
        object uid = attr(target.status, "st_uid");
        object gid = attr(target.status, "st_gid");
        if (not_equal(attr(own, "st_uid"), uid) || not_equal(attr(own, "st_gid"), gid)) {
            call_method(os, "fchown", fd, uid, gid);
        }
        copy_attributes(os, target.fd, fd);
        call_method(os, "fchmod", fd, call_method(libstat, "S_IMODE", attr(target.status, "st_mode")));
        call_method(os, "ftruncate", fd, integer(0));
        return true;
    } catch (...) {
        Caught failure;
        if (!failure.matches(PyExc_OSError)) failure.rethrow();
        return false;
    }
}

// The arrived file written into the target itself, emptied first as open(..., "wb") empties it.
void write_in_place(handle os, handle arrived_path, const Existing& target) {
    object arrived = call_method(os, "open", arrived_path, attr(os, "O_RDONLY"));
    RestoreOnExit close_arrived([&] { call_method(os, "close", arrived); });
    call_method(os, "ftruncate", target.fd, integer(0));
    object block_size = integer(1 << 20);
    for (;;) {
        object block = call_method(os, "read", arrived, block_size);
        Py_ssize_t size = check_value(PyObject_Length(block.ptr()));
        if (size == 0) return;
        for (Py_ssize_t written = 0; written < size;) {
            object rest = steal(PySequence_GetSlice(block.ptr(), written, size));
            Py_ssize_t count = check_value(PyLong_AsSsize_t(call_method(os, "write", target.fd, rest).ptr()));
            if (count <= 0 || count > size - written)
                raise(PyExc_OSError, "os.write() into the target gave a count outside the block it was given");
            written += count;
        }
    }
}

void download(Frame& f, const Transfer& t) {
    log_debug(f, format("Copying remote file {} to local location {} ...", t.from_path, t.to_path));
    object os = NATIVE_GLOBAL(f, "os");
    object os_path = attr(os, "path");
    object libstat = NATIVE_GLOBAL(f, "libstat");
    object open_file = NATIVE_GLOBAL(f, "open");
    // a name that is no text, or that names a folder, goes to open() as it is, which refuses a folder
    if (!PyUnicode_Check(t.to_path.ptr()) || !truth(call_method(os_path, "basename", t.to_path))) {
        retrieve_into(t, call(open_file, t.to_path, text("wb")));
        return;
    }
    object target = call_method(os_path, "realpath", t.to_path);  // a link's file is written, as open() would
    Existing existing;
    bool target_open = false;
    RestoreOnExit close_target([&] {
        if (target_open) call_method(os, "close", existing.fd);
    });
    if (object status = stat_or_nothing(os, target)) {
        if (!truth(call_method(libstat, "S_ISREG", attr(status, "st_mode")))) {
            retrieve_into(t, call(open_file, t.to_path, text("wb")));  // a device or a pipe: written directly
            return;
        }
        // refused as open() would refuse it, before anything is asked of the server
        existing.fd = call_method(os, "open", target, attr(os, "O_WRONLY"));
        target_open = true;
        existing.status = call_method(os, "fstat", existing.fd);
    }
    object partial_path, partial_file;
    try {
        std::tie(partial_path, partial_file) = create_beside(f, target);
    } catch (...) {
        Caught failure;
        if (!failure.matches(PyExc_OSError)) failure.rethrow();
        // No file can be made beside the target (no such folder, no permission, a name too long):
        // the target is opened as it is, which either refuses it with its own error or writes it.
        retrieve_into(t, call(open_file, t.to_path, text("wb")));
        return;
    }
    try {
        // Without an existing target the new file simply takes its place. Otherwise it replaces the
        // target where it can be given what the target has; where not, it is copied into the
        // target once it has arrived whole.
        bool replaces = true;
        retrieve_into(t, partial_file, [&](handle file) {
            if (target_open) replaces = give_what_the_target_has(os, libstat, file, existing);
        });
        if (replaces) {
            call_method(os, "replace", partial_path, target);
        } else {
            write_in_place(os, partial_path, existing);
            call_method(os, "unlink", partial_path);
        }
    } catch (...) {
        Caught failure;
        {
            Handling handling(failure.value());
            remove_quietly(f, partial_path);
        }
        failure.rethrow();
    }
    if (target_open) {
        target_open = false;  // a failure to close (a write error a network file system reports late) fails the copy
        call_method(os, "close", existing.fd);
    }
}

object copyfile(Frame& f, handle self, handle source, handle destination, handle timeout_seconds, handle upload_,
                handle strip_leading_slash, handle, handle) {
    RecursionGuard guard;
    State& state = f.state<State>();
    object progress_skipcount = new_cell();
    object start_time = new_cell();
    object file_to_transfer = new_cell();
    object check = state.check_for_timeout.make(tuple_of(self, timeout_seconds, progress_skipcount, start_time));
    object upload_callback = state.upload_cb.make(tuple_of(check));
    object download_callback = state.download_cb.make(tuple_of(check, file_to_transfer));
    cell_set(progress_skipcount, integer(0));

    bool uploading = truth(upload_);
    object from_path, to_path;
    Remote remote;
    if (uploading) {
        from_path = std::move(parse_url(self, source, "copyfile")[2]);
        remote = parse_remote(self, destination, "copyfile", strip_leading_slash);
        to_path = remote.path;
    } else {
        remote = parse_remote(self, source, "copyfile", strip_leading_slash);
        from_path = remote.path;
        to_path = std::move(parse_url(self, destination, "copyfile")[2]);
    }
    auto [username, password] = credentials(self, remote.server_name);
    cell_set(file_to_transfer, py::none());

    ftp_session(f, [&](handle ftp_sess) {
        log_debug(f, format("Connecting to ftp host {} port {} with timeout {} ...", remote.server_name, remote.port,
                            timeout_seconds));
        connect_and_login(ftp_sess, remote, timeout_seconds, username, password);
        cell_set(start_time, call_method(NATIVE_GLOBAL(f, "time"), "time"));
        if (uploading) {
            upload(f, Transfer{ftp_sess, from_path, to_path, upload_callback, file_to_transfer});
        } else {
            download(f, Transfer{ftp_sess, from_path, to_path, download_callback, file_to_transfer});
        }
    });
    return py::none();
}

// ----- Dorvex._normalize_filename, Dorvex.dir ----------------------------------------------------

object normalize_filename(Frame& f, handle, handle filename, handle parent_path) {
    object os_path = attr(NATIVE_GLOBAL(f, "os"), "path");
    object base = call_method(os_path, "basename", filename);
    if (truth(base)) return call_method(attr(NATIVE_GLOBAL(f, "os"), "path"), "join", text("/"), parent_path, base);
    return borrow(filename.ptr());
}

object dir(Frame& f, handle self, handle target, handle timeout_seconds, handle strip_leading_slash, handle, handle) {
    RecursionGuard guard;
    Remote remote = parse_remote(self, target, "dir", strip_leading_slash);
    auto [username, password] = credentials(self, remote.server_name);
    object files = new_list();
    ftp_session(f, [&](handle ftp_sess) {
        connect_and_login(ftp_sess, remote, timeout_seconds, username, password);
        files = call_method(ftp_sess, "nlst", remote.path);
    });
    object split_url = call(NATIVE_GLOBAL(f, "urlsplit"), target);
    object urls = new_list();
    for_each(files, [&](handle file) {
        object urlunsplit = NATIVE_GLOBAL(f, "urlunsplit");
        object scheme = index_item(split_url, 0);
        object netloc = index_item(split_url, 1);
        object path =
            call_kw(attr(self, "_normalize_filename"), {}, {{"filename", file}, {"parent_path", remote.path}});
        object query = index_item(split_url, 3);
        object fragment = index_item(split_url, 4);
        append(urls, call(urlunsplit, tuple_of(scheme, netloc, path, query, fragment)));
    });
    return urls;
}

// ----- Dorvex.stat -------------------------------------------------------------------------------

object dir_output_callback(Frame& f, handle data) {
    append(f.closure(0), data);
    return py::none();
}

object group(handle match, Name name) { return call_method(match, "group", handle(intern(name))); }

// `int(value)`, or the value itself when int() raises ValueError.
object number_or_text(Frame& f, handle value) {
    try {
        return call(NATIVE_GLOBAL(f, "int"), value);
    } catch (...) {
        Caught failure;
        if (!failure.matches(PyExc_ValueError)) failure.rethrow();
        return borrow(value.ptr());
    }
}

bool is_leap_year(long year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// The listed date and time read as UTC, in whole seconds.
object utc_seconds(Frame& f, handle moment) {
    object utc = attr(attr(NATIVE_GLOBAL(f, "datetime"), "timezone"), "utc");
    object aware = call_kw(attr(moment, "replace"), {}, {{"tzinfo", utc}});
    return call(NATIVE_GLOBAL(f, "int"), call_method(aware, "timestamp"));
}

object modification_time(Frame& f, handle match, bool recent) {
    object datetime = NATIVE_GLOBAL(f, "datetime");
    if (!recent) {
        object date_text =
            call_kw(attr(text("{month} {day} {year}"), "format"), {},
                    {{"month", group(match, "month")}, {"day", group(match, "day")}, {"year", group(match, "year")}});
        object moment =
            call_method(attr(datetime, "datetime"), "strptime", date_text, NATIVE_GLOBAL(f, "DATETIME_PAT_NOT_RECENT"));
        return utc_seconds(f, moment);
    }
    object year = attr(call_method(attr(datetime, "date"), "today"), "year");
    object date_text = call_kw(attr(text("{month} {day} {hour}:{minute} {year}"), "format"), {},
                               {{"month", group(match, "month")},
                                {"day", group(match, "day")},
                                {"hour", group(match, "hour")},
                                {"minute", group(match, "minute")},
                                {"year", year}});
    object moment =
        call_method(attr(datetime, "datetime"), "strptime", date_text, NATIVE_GLOBAL(f, "DATETIME_PAT_RECENT"));
    object seconds = utc_seconds(f, moment);
    // A line without a year was listed within the last months: a date more than a day ahead of now
    // (a December line read in January) is one of the previous year.
    object a_day_ahead = steal(PyNumber_Add(call_method(NATIVE_GLOBAL(f, "time"), "time").ptr(), integer(86400).ptr()));
    if (!check(PyObject_RichCompareBool(seconds.ptr(), a_day_ahead.ptr(), Py_GT))) return seconds;
    long previous = as_long(attr(moment, "year")) - 1;
    if (as_long(attr(moment, "month")) == 2 && as_long(attr(moment, "day")) == 29 && !is_leap_year(previous)) {
        return seconds;  // no such day in the previous year
    }
    return utc_seconds(f, call_kw(attr(moment, "replace"), {}, {{"year", integer(previous)}}));
}

// Whether the name a listing line gives is the file asked for, as a server lists it: its path or its
// last element. A directory holding one entry lists that entry instead.
bool names_the_file(Frame& f, handle filename, handle path) {
    object os_path = attr(NATIVE_GLOBAL(f, "os"), "path");
    object asked = call_method(os_path, "basename", path);
    return truth(asked) && equal(call_method(os_path, "basename", filename), asked);
}

[[noreturn]] void raise_directory_listed(Frame& f) {
    raise_exception(NATIVE_GLOBAL(f, "Exception"),
                    text("More than one result was found, did you request a stat of a directory ?"));
}

object match_line(Frame& f, handle pattern, handle line) {
    log_debug(f, steal(PyNumber_Remainder(text("Checking for files matching pattern %s").ptr(), pattern.ptr())));
    return call_method(NATIVE_GLOBAL(f, "re"), "match", pattern, line);
}

object stat(Frame& f, handle self, handle target, handle timeout_seconds, handle strip_leading_slash, handle, handle) {
    RecursionGuard guard;
    object dir_output = new_list();
    object callback = f.state<State>().dir_output_callback.make(tuple_of(dir_output));
    Remote remote = parse_remote(self, target, "stat", strip_leading_slash);
    auto [username, password] = credentials(self, remote.server_name);
    ftp_session(f, [&](handle ftp_sess) {
        connect_and_login(ftp_sess, remote, timeout_seconds, username, password);
        call_method(ftp_sess, "dir", remote.path, callback);
    });

    Py_ssize_t lines = length(dir_output);
    if (lines > 1) raise_directory_listed(f);
    if (lines == 0) {
        raise_exception(NATIVE_GLOBAL(f, "Exception"),
                        call_kw(attr(text("File {filename} not found on server {server_name}."), "format"), {},
                                {{"filename", remote.path}, {"server_name", remote.server_name}}));
    }
    log_debug(f, dir_output);
    // the logger has seen the list: its first line is read afresh
    object line = item_at(dir_output, 0);
    object match = match_line(f, NATIVE_GLOBAL(f, "STAT_DIR_FORMAT_SCAN_PATTERN_RECENT"), line);
    bool recent = !match.is_none();
    if (!recent) {
        match = match_line(f, NATIVE_GLOBAL(f, "STAT_DIR_FORMAT_SCAN_PATTERN_NOT_RECENT"), line);
        if (match.is_none()) {
            raise_exception(NATIVE_GLOBAL(f, "Exception"),
                            format("File {} was not found on remote server {}.", remote.path, remote.server_name));
        }
    }
    if (!names_the_file(f, group(match, "filename"), remote.path)) raise_directory_listed(f);

    object record = call(NATIVE_GLOBAL(f, "AttrDict"));
    set_attr(record, "st_mode", call(NATIVE_GLOBAL(f, "filemode_to_mode"), group(match, "mode")));
    set_attr(record, "st_nlink", call(NATIVE_GLOBAL(f, "int"), group(match, "num_links")));
    set_attr(record, "st_uid", number_or_text(f, group(match, "owner")));
    try {
        set_attr(record, "st_gid", number_or_text(f, group(match, "group")));
    } catch (...) {
        Caught failure;  // no group column: int(None)
        if (!failure.matches(PyExc_Exception)) failure.rethrow();
    }
    set_attr(record, "st_size", call(NATIVE_GLOBAL(f, "int"), group(match, "size")));
    set_attr(record, "st_mtime", modification_time(f, match, recent));
    return record;
}

// ----- Dorvex.chmod, deletefile, renamefile, getspace --------------------------------------------

object chmod(Frame& f, handle self, handle target, handle mode, handle timeout_seconds, handle strip_leading_slash,
             handle, handle) {
    RecursionGuard guard;
    Remote remote = parse_remote(self, target, "chmod", strip_leading_slash);
    auto [username, password] = credentials(self, remote.server_name);
    ftp_session(f, [&](handle ftp_sess) {
        connect_and_login(ftp_sess, remote, timeout_seconds, username, password);
        object octal = call(NATIVE_GLOBAL(f, "oct"), mode);
        object digits =
            steal(PyObject_GetItem(octal.ptr(), steal(PySlice_New(integer(2).ptr(), nullptr, nullptr)).ptr()));
        call_method(ftp_sess, "voidcmd",
                    call_kw(attr(text("SITE CHMOD {mode} {filename}"), "format"), {},
                            {{"mode", digits}, {"filename", remote.path}}));
    });
    return py::none();
}

object deletefile(Frame& f, handle self, handle target, handle timeout_seconds, handle strip_leading_slash, handle,
                  handle) {
    RecursionGuard guard;
    Remote remote = parse_remote(self, target, "deletefile", strip_leading_slash);
    auto [username, password] = credentials(self, remote.server_name);
    ftp_session(f, [&](handle ftp_sess) {
        connect_and_login(ftp_sess, remote, timeout_seconds, username, password);
        call_kw(attr(ftp_sess, "delete"), {}, {{"filename", remote.path}});
    });
    return py::none();
}

object renamefile(Frame& f, handle self, handle source, handle destination, handle timeout_seconds,
                  handle strip_leading_slash, handle, handle) {
    RecursionGuard guard;
    Remote from = parse_remote(self, source, "renamefile", strip_leading_slash);
    Remote to = parse_remote(self, destination, "renamefile", strip_leading_slash);
    if (not_equal(from.server_name, to.server_name)) {
        raise_exception(NATIVE_GLOBAL(f, "Exception"),
                        format("dorvex module {} requires from/to files to be renamed to have the same server.",
                               attr(self, "__module__")));
    }
    if (not_equal(from.port, to.port)) {
        raise_exception(NATIVE_GLOBAL(f, "Exception"),
                        format("dorvex module {} requires from/to files to be renamed to have the same port.",
                               attr(self, "__module__")));
    }
    auto [username, password] = credentials(self, from.server_name);
    ftp_session(f, [&](handle ftp_sess) {
        connect_and_login(ftp_sess, from, timeout_seconds, username, password);
        call_kw(attr(ftp_sess, "rename"), {}, {{"fromname", from.path}, {"toname", to.path}});
    });
    return py::none();
}

object getspace(Frame& f, handle self, handle, handle, handle, handle) {
    raise_exception(NATIVE_GLOBAL(f, "NotImplementedError"),
                    format("The dorvex module {} does not implement getspace.", attr(self, "__module__")));
}

// ----- the module body ---------------------------------------------------------------------------

void define_dorvex(ModuleBody& m) {
    ClassBuilder c = m.class_("Dorvex", {m.get("DorvexLinuxBase")});
    c.set("PROGRESS_IGNORE_COUNT", integer(30));
    c.def("copyfile", "(self, source, destination, timeout_seconds, *args, upload, strip_leading_slash=True, **kwargs)",
          &copyfile, doc::copyfile);
    c.def("_normalize_filename", "(self, filename, parent_path)", &normalize_filename, doc::normalize_filename);
    c.def("dir", "(self, target, timeout_seconds, *args, strip_leading_slash=True, **kwargs)", &dir, doc::dir);
    c.def("stat", "(self, target, timeout_seconds, *args, strip_leading_slash=True, **kwargs)", &stat, doc::stat);
    c.def("chmod", "(self, target, mode, timeout_seconds, *args, strip_leading_slash=True, **kwargs)", &chmod,
          doc::chmod);
    c.def("deletefile", "(self, target, timeout_seconds, *args, strip_leading_slash=True, **kwargs)", &deletefile,
          doc::deletefile);
    c.def("renamefile", "(self, source, destination, timeout_seconds, *args, strip_leading_slash=True, **kwargs)",
          &renamefile, doc::renamefile);
    c.def("getspace", "(self, target, timeout_seconds, *args, **kwargs)", &getspace, doc::getspace);
    c.create();
}

void body(ModuleBody& m) {
    m.doc(doc::module);
    m.import_("os");
    m.import_("re");
    m.import_("time");
    m.import_as("stat", "libstat");
    m.import_("datetime");
    m.import_("logging");
    m.from_("ftplib").import_("FTP");
    m.from_("urllib.parse").import_("urlsplit", "urlunsplit");
    m.from_("quarv.datastructures").import_("AttrDict");
    m.from_("....exceptions").import_("TimeLimitExceededOnFileTransfer");
    m.from_("..").import_as("Dorvex", "DorvexLinuxBase");
    m.set("logger", call_method(m.get("logging"), "getLogger", m.name()));

    m.set("DATETIME_PAT_RECENT", text("%b %d %H:%M %Y"));
    m.set("STAT_DIR_FORMAT_SCAN_PATTERN_RECENT",
          text(R"(\s*(?P<mode>\S+)\s+(?P<num_links>\d+)\s+(?P<owner>\w+)(\s+(?P<group>\w+))?\s+(?P<size>\d+))"
               R"(\s+(?P<month>[A-Za-z]{3})\s+(?P<day>\d+)\s+(?P<hour>\d+):(?P<minute>\d+)\s*(?P<filename>\S+)\s*$)"));
    m.set("DATETIME_PAT_NOT_RECENT", text("%b %d %Y"));
    m.set("STAT_DIR_FORMAT_SCAN_PATTERN_NOT_RECENT",
          text(R"(\s*(?P<mode>\S+)\s+(?P<num_links>\d+)\s+(?P<owner>\w+)\s+(?P<group>\w+)\s+(?P<size>\d+))"
               R"(\s+(?P<month>[A-Za-z]{3})\s+(?P<day>\d+)\s+(?P<year>\d{4})\s*(?P<filename>\S+)\s*$)"));

    State& state = m.state<State>();
    state.check_for_timeout = FunctionTemplate(
        function_def("check_for_timeout", "Dorvex.copyfile.<locals>.check_for_timeout", "()", &check_for_timeout), m);
    state.upload_cb = FunctionTemplate(
        function_def("upload_cb", "Dorvex.copyfile.<locals>.upload_cb", "(data)", &upload_cb, doc::upload_cb), m);
    state.download_cb = FunctionTemplate(
        function_def("download_cb", "Dorvex.copyfile.<locals>.download_cb", "(data)", &download_cb, doc::download_cb),
        m);
    state.dir_output_callback = FunctionTemplate(
        function_def("dir_output_callback", "Dorvex.stat.<locals>.dir_output_callback", "(data)", &dir_output_callback),
        m);

    m.def("filemode_to_mode", "(filemode)", &filemode_to_mode, doc::filemode_to_mode);
    define_dorvex(m);
}
}  // namespace

QUARV_MODULE(dorvex, "quarv.utils.dorvex.plugins.localhost.ftp.dorvex", body, State)
