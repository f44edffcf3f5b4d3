// zorvan.seller_sprite.services.credarium: named Seller Sprite accounts.
//
// Names and usernames live in accounts.json in the store directory;
// passwords live only in the operating system's credential manager, reached
// through the `keyring` package.
//
// Each C++ function stands for one Python method of SellerSpriteCredarium;
// the Python it stands for is quoted above the statements, with its source
// line in brackets. Those lines are the lines of the traceback entries.
#include "credarium_table.hpp"
#include "files.hpp"

namespace credarium {

using namespace frame;

namespace {

// `InvalidCollectOptionError(message)` and the like: an exception made by
// calling a module global with one message.
Ref new_error(StringId error_class, Borrowed message)
{
    if (!message) return nullptr;
    return call_global(error_class, message);
}

// Whether `function` was defined by the standard library's pathlib: in its
// module "pathlib", or in one of that package's own modules, between which
// a release may move its classes (3.13 defined them in pathlib._local).
bool defined_by_pathlib(PyObject* function)
{
    if (!PyFunction_Check(function)) return false;
    PyObject* module = PyFunction_GetModule(function);
    if (module == nullptr || !PyUnicode_Check(module)) return false;
    Py_ssize_t length = PyUnicode_GET_LENGTH(module);
    if (PyUnicode_Tailmatch(module, string(S::pathlib), 0, length, -1) != 1) return false;
    return length == PyUnicode_GET_LENGTH(string(S::pathlib)) ||
           PyUnicode_ReadChar(module, PyUnicode_GET_LENGTH(string(S::pathlib))) == '.';
}

// Whether `path` is a plain pathlib path: exactly pathlib's concrete class
// of this platform (PosixPath or WindowsPath), with the methods whose work
// the store does itself (reading and writing the file, setting its mode,
// making the folder) still pathlib's own. For such a path the store reads
// without blocking, replaces the file atomically and locks it; any other
// path object gets exactly the calls it is asked for.
bool is_plain_path(Borrowed path)
{
    static PyTypeObject* plain_type = nullptr;  // kept for the process
    static unsigned int checked_version = 0;    // the type's version when its methods were checked
    if (plain_type == nullptr) {
        Ref pathlib(steal, PyImport_GetModule(string(S::pathlib)));
        Ref type = pathlib && pathlib.ptr() != Py_None
                       ? Ref(steal, PyObject_GetAttrString(pathlib, files::plain_path_class))
                       : Ref();
        if (!type || !PyType_Check(type.ptr())) {
            PyErr_Clear();
            return false;
        }
        plain_type = reinterpret_cast<PyTypeObject*>(type.release());
    }
    PyTypeObject* type = Py_TYPE(path.ptr());
    if (type != plain_type) return false;
    // Any change to the class (a method replaced) gives it a new version.
    if (type->tp_version_tag != 0 && type->tp_version_tag == checked_version) return true;
    for (StringId name : {S::read_text, S::write_text, S::chmod, S::mkdir}) {
        // Read through the class, a function is the function itself.
        Ref method(steal, PyObject_GetAttr(reinterpret_cast<PyObject*>(type), string(name)));
        if (!method) PyErr_Clear();
        if (!method || !defined_by_pathlib(method)) return false;
    }
    checked_version = type->tp_version_tag;
    return true;
}

// `self.meta_path` in the system's own form, when it is a plain path: false
// otherwise, or with an error raised when it cannot be converted.
bool plain_meta_path(Borrowed meta_path, files::NativePath& path)
{
    return is_plain_path(meta_path) && path.assign(meta_path);
}

// How long a change waits for another holder of the store's lock.
constexpr double lock_wait_seconds = 10.0;

// Readies the store for one change: for a plain path, takes the lock on
// "accounts.json.lock" beside the file and, for a save (`room` given),
// reserves the new file's temporary file with room for `extra_bytes` more
// than the file holds now, so that a folder or disk that cannot take the
// write, or a directory, FIFO, socket or device standing at accounts.json,
// fails the save before the password is touched. Other path objects
// take no lock, and neither does a store whose meta_path cannot be read:
// its own steps then meet that failure where they always did.
bool ready_change(Borrowed self, files::StoreLock& lock, files::Reservation* room, std::int64_t extra_bytes)
{
    Ref meta_path = get_attr(self, S::meta_path);
    if (!meta_path) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
        PyErr_Clear();
        return true;
    }
    files::NativePath path;
    if (!plain_meta_path(meta_path, path)) return !PyErr_Occurred();
    switch (lock.acquire(path, lock_wait_seconds)) {
    case files::StoreLock::Outcome::held:
    case files::StoreLock::Outcome::unlocked:
        return room == nullptr || room->reserve(path, extra_bytes);
    case files::StoreLock::Outcome::failed:
        return false;
    case files::StoreLock::Outcome::timed_out:
        break;
    }
    // errno.ETIMEDOUT as the interpreter has it: on Windows that is Winsock's
    // number, not the C runtime's.
    Ref timed_out = get_attr(import_module(S::errno_module), S::timed_out_errno);
    Ref error = call(borrowed(PyExc_TimeoutError), timed_out, string(S::msg_lock_timeout), lock.lock_file_name());
    if (error) PyErr_SetObject(PyExc_TimeoutError, error);
    return false;
}

// Bytes that saving `name` with `username` can add to accounts.json at most:
// a new member of four lines, each character written as up to six bytes (a
// JSON escape), with room for the indentation and line breaks.
std::int64_t entry_bytes(Borrowed name, Borrowed username)
{
    return 6 * static_cast<std::int64_t>(PyUnicode_GET_LENGTH(name.ptr()) + PyUnicode_GET_LENGTH(username.ptr())) +
           64;
}

// Whether `text` can be written as UTF-8: it holds no lone surrogate.
bool is_encodable(Borrowed text)
{
    if (PyUnicode_IS_ASCII(text.ptr()) || PyUnicode_KIND(text.ptr()) == PyUnicode_1BYTE_KIND) return true;
    const int kind = PyUnicode_KIND(text.ptr());
    const void* data = PyUnicode_DATA(text.ptr());
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(text.ptr()); i < n; ++i) {
        if (Py_UNICODE_IS_SURROGATE(PyUnicode_READ(kind, data, i))) return false;
    }
    return true;
}

// `c` upper-cased the way Windows compares names regardless of case: one
// UTF-16 unit at a time, so a character outside the Basic Multilingual Plane
// (two units) stays as it is.
Py_UCS4 upper_case_unit(Py_UCS4 c)
{
    if (c > 0xFFFF) return c;
    Py_UCS4 upper = Py_UNICODE_TOUPPER(c);
    return upper > 0xFFFF ? c : upper;
}

bool same_upper_case(Borrowed a, Borrowed b)
{
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a.ptr());
    if (length != PyUnicode_GET_LENGTH(b.ptr())) return false;
    for (Py_ssize_t i = 0; i < length; ++i) {
        if (upper_case_unit(PyUnicode_READ_CHAR(a.ptr(), i)) != upper_case_unit(PyUnicode_READ_CHAR(b.ptr(), i))) {
            return false;
        }
    }
    return true;
}

// A saved account other than `name` whose name a credential manager that
// ignores case would take for `name` (so that the two would share one
// password), or None. Windows' own comparison decides, and so does
// casefold(), which also catches what a newer Unicode table or a full case
// mapping makes equal. An exact match elsewhere in the file does not help:
// another name clashing is enough to refuse.
Ref name_clashing_in_case(Borrowed self, Borrowed name)
{
    Ref accounts = call_method(self, S::_load_accounts);
    Ref folded = accounts ? call_method(name, S::casefold) : Ref();
    if (!folded) return nullptr;
    Ref clash(borrow, Py_None);
    bool walked = for_each_item(accounts, [&](Borrowed saved, Borrowed) {
        if (clash.ptr() != Py_None || !PyUnicode_Check(saved.ptr()) || PyUnicode_Compare(saved, name) == 0) {
            return true;
        }
        if (!same_upper_case(saved, name)) {
            Ref saved_folded = call_method(saved, S::casefold);
            if (!saved_folded) return false;
            if (PyUnicode_Compare(saved_folded, folded) != 0) return true;
        }
        clash = Ref(borrow, saved.ptr());
        return true;
    });
    if (!walked) return nullptr;
    return clash;
}

/* ---------------------------------------------------------------------------
 * def __init__(self, *, base_dir: Path | None = None) -> None:          [27]
 * ------------------------------------------------------------------------ */
Ref init(const Trace& trace, Borrowed self, Borrowed base_dir)
{
    // self.base_dir = Path(base_dir or CONFIG_DIR) / "seller_sprite"   [28]
    Ref path_class = lookup_global(S::Path);
    if (!path_class) return trace.fail(28);
    int given = truth(base_dir);
    if (given < 0) return trace.fail(28);
    Ref chosen = given ? Ref(borrow, base_dir) : lookup_global(S::CONFIG_DIR);
    Ref folder = call(path_class, chosen);
    if (!folder) return trace.fail(28);
    Ref store = Ref(steal, PyNumber_TrueDivide(folder, string(S::store_folder)));
    if (!set_attr(self, S::base_dir, store)) return trace.fail(28);
    // self.base_dir.mkdir(parents=True, exist_ok=True)                  [29]
    // A plain path's folder is made private (mode 0700): it holds the only
    // list of the accounts, and others must not swap files in it.
    Ref folder_path = get_attr(self, S::base_dir);
    if (!folder_path) return trace.fail(29);
    Ref made = is_plain_path(folder_path)
                   ? call_method(folder_path, S::mkdir, kw(S::mode, integer(I::private_folder_mode)),
                                 kw(S::parents, borrowed(Py_True)), kw(S::exist_ok, borrowed(Py_True)))
                   : call_method(folder_path, S::mkdir, kw(S::parents, borrowed(Py_True)),
                                 kw(S::exist_ok, borrowed(Py_True)));
    if (!made) return trace.fail(29);
    // self.meta_path = self.base_dir / "accounts.json"                  [30]
    Ref base = get_attr(self, S::base_dir);
    Ref meta_path = base ? Ref(steal, PyNumber_TrueDivide(base, string(S::accounts_file))) : Ref();
    if (!set_attr(self, S::meta_path, meta_path)) return trace.fail(30);
    return Ref(borrow, Py_None);
}

/* ---------------------------------------------------------------------------
 * def save(self, *, name: str, username: str, password: str) -> dict:  [32]
 *     """保存命名账号。"""
 * ------------------------------------------------------------------------ */
Ref save(const Trace& trace, Borrowed self, Borrowed name, Borrowed username, Borrowed password)
{
    // self._validate_name(name)                                        [34]
    if (!call_method(self, S::_validate_name, name)) return trace.fail(34);
    // if not username:
    //     raise InvalidCollectOptionError("必须提供卖家精灵用户名")          [36]
    if (PyUnicode_GET_LENGTH(username.ptr()) == 0) {
        return trace.raise(36, new_error(S::InvalidCollectOptionError, string(S::msg_username_required)));
    }
    // A username that accounts.json cannot hold (a lone surrogate) is refused
    // with it: saved, it would leave a password without an account.
    if (!is_encodable(username)) {
        return trace.raise(36, new_error(S::InvalidCollectOptionError, string(S::msg_username_unencodable)));
    }
    // if not password:
    //     raise InvalidCollectOptionError("必须提供卖家精灵密码")            [38]
    if (PyUnicode_GET_LENGTH(password.ptr()) == 0) {
        return trace.raise(38, new_error(S::InvalidCollectOptionError, string(S::msg_password_required)));
    }
    // From the password to the file, the change holds the store's lock, so
    // that no other thread or process undoes it or mixes its own into it; and
    // the new file's room is taken before the password is written.
    files::StoreLock lock;
    files::Reservation room;
    if (!ready_change(self, lock, &room, entry_bytes(name, username))) return trace.fail(39);
    // Where the credential manager ignores case (Windows), a name differing
    // from a saved one only in case would read or overwrite that account's
    // password: refused before the password is touched.
    if (files::credential_names_ignore_case) {
        Ref clash = name_clashing_in_case(self, name);
        if (!clash) return trace.fail(39);
        if (clash.ptr() != Py_None) {
            Ref message = join_text(S::msg_account_prefix, name, S::msg_case_clash_middle, clash,
                                    S::msg_case_clash_end);
            return trace.raise(39, new_error(S::InvalidCollectOptionError, message));
        }
    }
    // self._set_password(name, password)                                [39]
    if (!call_method(self, S::_set_password, name, password)) return trace.fail(39);
    // accounts = self._load_accounts()                                  [40]
    Ref accounts = call_method(self, S::_load_accounts);
    if (!accounts) return trace.fail(40);
    // accounts[name] = {"username": username}                           [41]
    Ref entry = dict_of({{S::username, username}});
    if (!entry || PyObject_SetItem(accounts, name, entry) < 0) return trace.fail(41);
    // self._save_accounts(accounts)                                     [42]
    if (!call_method(self, S::_save_accounts, accounts)) return trace.fail(42);
    // return {"name": name, "username": username}                       [43]
    return trace.result(43, dict_of({{S::name, name}, {S::username, username}}));
}

// `entry.get("username")`; an exact dict, the usual entry, is asked directly.
Ref entry_username(Borrowed entry)
{
    if (!PyDict_CheckExact(entry.ptr())) return call_method(entry, S::get, S::username);
    PyObject* username = PyDict_GetItemWithError(entry, string(S::username));
    if (username == nullptr && PyErr_Occurred()) return nullptr;
    return Ref(borrow, username != nullptr ? username : Py_None);
}

/* ---------------------------------------------------------------------------
 * def list(self) -> list[dict]:                                        [45]
 *     """列出已保存账号，不返回密码。"""
 * ------------------------------------------------------------------------ */
Ref list(const Trace& trace, Borrowed self)
{
    // accounts = self._load_accounts()                                  [47]
    Ref accounts = call_method(self, S::_load_accounts);
    if (!accounts) return trace.fail(47);
    // return [{"name": name, "username": item.get("username")}
    //         for name, item in accounts.items()]                        [48]
    Ref result(steal, PyList_New(0));
    if (!result) return trace.fail(48);
    bool walked = for_each_item(accounts, [&](Borrowed name, Borrowed item) {
        Ref row = dict_of({{S::name, name}, {S::username, entry_username(item)}});
        return row && PyList_Append(result, row) == 0;
    });
    if (!walked) return trace.fail(48);
    return result;
}

/* ---------------------------------------------------------------------------
 * def delete(self, *, name: str) -> bool:                              [50]
 *     """删除命名账号。"""
 * ------------------------------------------------------------------------ */
Ref delete_(const Trace& trace, Borrowed self, Borrowed name)
{
    // self._validate_name(name)                                        [52]
    if (!call_method(self, S::_validate_name, name)) return trace.fail(52);
    // From reading the file to deleting the password, the change holds the
    // store's lock, so that a concurrent save cannot bring the account back.
    files::StoreLock lock;
    if (!ready_change(self, lock, nullptr, 0)) return trace.fail(53);
    // accounts = self._load_accounts()                                  [53]
    Ref accounts = call_method(self, S::_load_accounts);
    if (!accounts) return trace.fail(53);
    // existed = name in accounts                                        [54]
    int existed = PySequence_Contains(accounts, name);
    if (existed < 0) return trace.fail(54);
    // if existed:
    if (existed) {
        //     del accounts[name]                                        [56]
        if (PyObject_DelItem(accounts, name) < 0) return trace.fail(56);
        //     self._save_accounts(accounts)                             [57]
        if (!call_method(self, S::_save_accounts, accounts)) return trace.fail(57);
    }
    // self._delete_password(name)                                       [58]
    if (!call_method(self, S::_delete_password, name)) return trace.fail(58);
    // return existed
    return Ref(borrow, existed ? Py_True : Py_False);
}

/* ---------------------------------------------------------------------------
 * def get(self, *, name: str) -> dict:                                 [61]
 *     """读取命名账号和密码。"""
 * ------------------------------------------------------------------------ */
Ref get(const Trace& trace, Borrowed self, Borrowed name)
{
    // self._validate_name(name)                                        [63]
    if (!call_method(self, S::_validate_name, name)) return trace.fail(63);
    // accounts = self._load_accounts()                                  [64]
    Ref accounts = call_method(self, S::_load_accounts);
    if (!accounts) return trace.fail(64);
    // account = accounts.get(name)                                      [65]
    Ref account = call_method(accounts, S::get, name);
    if (!account) return trace.fail(65);
    // if not account:                                                   [66]
    int found = truth(account);
    if (found < 0) return trace.fail(66);
    if (!found) {
        //     raise InvalidCollectOptionError(
        //         f"卖家精灵账号 `{name}` 不存在，请先执行 account save")      [67]
        Ref message = join_text(S::msg_account_prefix, name, S::msg_account_not_found);
        return trace.raise(67, new_error(S::InvalidCollectOptionError, message));
    }
    // password = self._get_password(name)                               [68]
    Ref password = call_method(self, S::_get_password, name);
    if (!password) return trace.fail(68);
    // if not password:                                                  [69]
    int present = truth(password);
    if (present < 0) return trace.fail(69);
    if (!present) {
        //     raise InvalidCollectOptionError(
        //         f"卖家精灵账号 `{name}` 缺少密码，请重新执行 account save")  [70]
        Ref message = join_text(S::msg_account_prefix, name, S::msg_password_missing);
        return trace.raise(70, new_error(S::InvalidCollectOptionError, message));
    }
    // return {
    //     "name": name,                                                 [72]
    //     "username": account.get("username"),                          [73]
    //     "password": password,
    // }
    Ref username = entry_username(account);
    if (!username) return trace.fail(73);
    return trace.result(72, dict_of({{S::name, name}, {S::username, username}, {S::password, password}}));
}

/* ---------------------------------------------------------------------------
 * def _load_accounts(self) -> dict:                                    [77]
 *     """读取账号元数据。"""
 * ------------------------------------------------------------------------ */

// `self.meta_path.read_text(encoding="utf-8")`; for a plain path, None when
// something other than a regular file stands there (a FIFO would block the
// read forever), which then reads as malformed.
Ref read_accounts_text(Borrowed meta_path)
{
    if (!meta_path) return nullptr;
    files::NativePath path;
    if (plain_meta_path(meta_path, path)) return files::read_text(path);
    if (PyErr_Occurred()) return nullptr;
    return call_method(meta_path, S::read_text, kw(S::encoding, S::utf_8));
}

// `json.loads(self.meta_path.read_text(encoding="utf-8"))`
Ref read_payload(Borrowed self)
{
    Ref json = lookup_global(S::json);
    if (!json) return nullptr;
    Ref text = read_accounts_text(get_attr(self, S::meta_path));
    if (!text || text.ptr() == Py_None) return text;
    return call_method(json, S::loads, text);
}

Ref load_accounts(const Trace& trace, Borrowed self)
{
    // if not self.meta_path.exists():                                   [79]
    int exists = truth(call_method(get_attr(self, S::meta_path), S::exists));
    if (exists < 0) return trace.fail(79);
    //     return {}                                                      [80]
    if (!exists) return trace.result(80, new_dict());
    // try:
    //     payload = json.loads(self.meta_path.read_text(encoding="utf-8"))   [82]
    Ref payload = read_payload(self);
    if (!payload) {
        trace.add(82);
        // except Exception:
        Ref exc = catch_exception(borrowed(PyExc_Exception));
        if (!exc) return nullptr;
        Handling handling(exc);
        //     return {}                                                  [84]
        return trace.result(84, new_dict());
    }
    // return payload if isinstance(payload, dict) else {}               [85]
    if (PyDict_Check(payload.ptr())) return payload;
    return trace.result(85, new_dict());
}

/* ---------------------------------------------------------------------------
 * def _save_accounts(self, accounts: dict) -> None:                    [87]
 *     """保存账号元数据。"""
 * ------------------------------------------------------------------------ */

// Whether accounts.json holds content that reading would ignore (it reads as
// an empty mapping), which a write would then destroy: bytes that are not
// UTF-8, not JSON, or not a JSON object.
int is_ignored_content(Borrowed content)
{
    Ref json = lookup_global(S::json);
    if (!json) return -1;
    Ref text(steal, PyUnicode_DecodeUTF8(PyBytes_AS_STRING(content.ptr()), PyBytes_GET_SIZE(content.ptr()),
                                         nullptr));
    Ref payload = text ? call_method(json, S::loads, text) : Ref();
    if (payload) return PyDict_Check(payload.ptr()) ? 0 : 1;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    PyErr_Clear();
    return 1;
}

// Writes `text` as the new accounts.json at `path` (bytes), first setting
// aside any content that could not be read, so that a hand-edited file with
// a typo is never silently replaced. Gives back the new file, still open.
files::File write_accounts_file(const files::NativePath& path, Borrowed text)
{
    Ref data = files::encode_text(text);
    if (!data) return files::File();

    files::Existing existing;
    Ref content;
    if (!files::look_at(path, existing, content)) return files::File();
    if (existing == files::Existing::unreadable && !files::set_aside(path, Borrowed())) return files::File();
    if (existing == files::Existing::read) {
        int ignored = is_ignored_content(content);
        if (ignored < 0 || (ignored && !files::set_aside(path, content))) return files::File();
    }
    return files::replace(path, data);
}

// `stat.S_IRUSR | stat.S_IWUSR`, the constants read at each call.
Ref private_file_mode()
{
    Ref stat = lookup_global(S::stat);
    Ref read_bit = get_attr(stat, S::owner_read);
    Ref write_bit = read_bit ? get_attr(stat, S::owner_write) : Ref();
    return write_bit ? Ref(steal, PyNumber_Or(read_bit, write_bit)) : Ref();
}

Ref save_accounts(const Trace& trace, Borrowed self, Borrowed accounts)
{
    // self.meta_path.write_text(
    //     json.dumps(accounts, ensure_ascii=False, indent=2), encoding="utf-8")   [89]
    Ref meta_path = get_attr(self, S::meta_path);
    if (!meta_path) return trace.fail(89);
    Ref json = lookup_global(S::json);
    Ref text = call_method(json, S::dumps, accounts, kw(S::ensure_ascii, borrowed(Py_False)),
                           kw(S::indent, integer(I::indent)));
    if (!text) return trace.fail(89);
    files::NativePath path;
    if (!plain_meta_path(meta_path, path)) {
        if (PyErr_Occurred()) return trace.fail(89);
        if (!call_method(meta_path, S::write_text, text, kw(S::encoding, S::utf_8))) return trace.fail(89);
        // self.meta_path.chmod(stat.S_IRUSR | stat.S_IWUSR)             [90]
        if (!call_method(meta_path, S::chmod, private_file_mode())) return trace.fail(90);
        return Ref(borrow, Py_None);
    }
    // A plain path's file is written to a temporary file and renamed over
    // accounts.json, and its mode is set through the new file's descriptor:
    // whatever stands at the path by then (another writer's file, a link
    // someone swapped in) is never changed.
    files::File written = write_accounts_file(path, text);
    if (!written) return trace.fail(89);
    // self.meta_path.chmod(stat.S_IRUSR | stat.S_IWUSR)                 [90]
    Ref mode = private_file_mode();
    int mode_bits = mode ? PyLong_AsInt(mode) : -1;
    if (mode_bits == -1 && (!mode || PyErr_Occurred())) return trace.fail(90);
    if (!files::set_mode(written, mode_bits, path)) return trace.fail(90);
    return Ref(borrow, Py_None);
}

/* ---------------------------------------------------------------------------
 * def _validate_name(self, name: str) -> None:                         [92]
 *     """校验账号别名。"""
 * ------------------------------------------------------------------------ */

// `name and name.replace("-", "").replace("_", "").isalnum()`, in one pass:
// every character is a hyphen, an underscore or alphanumeric, and at least
// one is alphanumeric.
bool is_valid_name(Borrowed name)
{
    const int kind = PyUnicode_KIND(name.ptr());
    const void* data = PyUnicode_DATA(name.ptr());
    bool any_alphanumeric = false;
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(name.ptr()); i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '-' || c == '_') continue;
        if (!Py_UNICODE_ISALNUM(c)) return false;
        any_alphanumeric = true;
    }
    return any_alphanumeric;
}

Ref validate_name(const Trace& trace, Borrowed, Borrowed name)
{
    // if not name or not name.replace("-", "").replace("_", "").isalnum():   [94]
    if (!is_valid_name(name)) {
        //     raise InvalidCollectOptionError("账号名称只能包含字母、数字、下划线和中划线")   [95]
        return trace.raise(95, new_error(S::InvalidCollectOptionError, string(S::msg_invalid_name)));
    }
    return Ref(borrow, Py_None);
}

/* ---------------------------------------------------------------------------
 * def _keyring_account(self, name: str) -> str:                        [97]
 *     """生成 keyring account。"""
 * ------------------------------------------------------------------------ */
Ref keyring_account(const Trace& trace, Borrowed, Borrowed name)
{
    // return f"account:{name}"                                          [99]
    return trace.result(99, join_text(S::account_prefix, name));
}

/* ---------------------------------------------------------------------------
 * def _require_keyring(self):                                          [101]
 *     """获取 keyring 模块。"""
 * ------------------------------------------------------------------------ */
Ref require_keyring(const Trace& trace, Borrowed)
{
    // if not _KEYRING_AVAILABLE:                                        [103]
    int available = truth(lookup_global(S::_KEYRING_AVAILABLE));
    if (available < 0) return trace.fail(103);
    if (!available) {
        //     raise SellerSpriteDependencyError(
        //         "当前环境缺少 keyring，无法安全保存卖家精灵密码")            [104]
        return trace.raise(104, new_error(S::SellerSpriteDependencyError, string(S::msg_keyring_missing)));
    }
    // return keyring                                                    [105]
    return trace.result(105, lookup_global(S::keyring));
}

// `keyring.errors.NoKeyringError`, read at the moment an exception is matched.
Ref no_keyring_error()
{
    return get_attr(get_attr(lookup_global(S::keyring), S::errors), S::NoKeyringError);
}

// The `except keyring.errors.NoKeyringError as exc:` clause shared by the
// password writer and reader: a missing backend becomes the dependency
// error `message`, caused by it; anything else goes on unchanged.
Failed handle_keyring_failure(const Trace& trace, int match_line, int raise_line, StringId message)
{
    Ref exc = take_exception();
    Handling handling(exc);
    Ref missing_backend = no_keyring_error();
    if (!missing_backend) return trace.fail(match_line);
    if (!PyErr_GivenExceptionMatches(exc, missing_backend)) return reraise(std::move(exc));
    return trace.raise_from(raise_line, new_error(S::SellerSpriteDependencyError, string(message)), exc);
}

/* ---------------------------------------------------------------------------
 * def _set_password(self, name: str, password: str) -> None:           [107]
 *     """写入系统凭据管理器。"""
 * ------------------------------------------------------------------------ */
Ref set_password(const Trace& trace, Borrowed self, Borrowed name, Borrowed password)
{
    // kr = self._require_keyring()                                      [109]
    Ref kr = call_method(self, S::_require_keyring);
    if (!kr) return trace.fail(109);
    // try:
    //     kr.set_password(_KEYRING_SERVICE, self._keyring_account(name), password)   [111]
    Ref service = lookup_global(S::_KEYRING_SERVICE);
    Ref account = service ? call_method(self, S::_keyring_account, name) : Ref();
    Ref stored = account ? call_method(kr, S::set_password, service, account, password) : Ref();
    if (stored) return Ref(borrow, Py_None);
    trace.add(111);
    // except keyring.errors.NoKeyringError as exc:                      [112]
    //     raise SellerSpriteDependencyError(
    //         "当前系统 keyring 不可用，无法安全保存卖家精灵密码") from exc    [113]
    return handle_keyring_failure(trace, 112, 113, S::msg_keyring_unusable_save);
}

/* ---------------------------------------------------------------------------
 * def _get_password(self, name: str) -> str | None:                    [115]
 *     """读取系统凭据管理器密码。"""
 * ------------------------------------------------------------------------ */
Ref get_password(const Trace& trace, Borrowed self, Borrowed name)
{
    // kr = self._require_keyring()                                      [117]
    Ref kr = call_method(self, S::_require_keyring);
    if (!kr) return trace.fail(117);
    // try:
    //     return kr.get_password(_KEYRING_SERVICE, self._keyring_account(name))   [119]
    Ref service = lookup_global(S::_KEYRING_SERVICE);
    Ref account = service ? call_method(self, S::_keyring_account, name) : Ref();
    Ref password = account ? call_method(kr, S::get_password, service, account) : Ref();
    if (password && !PyUnicode_CheckExact(password) && password.ptr() != Py_None) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", password.type()->tp_name);
        password = nullptr;
    }
    if (password) return password;
    trace.add(119);
    // except keyring.errors.NoKeyringError as exc:                      [120]
    //     raise SellerSpriteDependencyError(
    //         "当前系统 keyring 不可用，无法读取卖家精灵密码") from exc        [121]
    return handle_keyring_failure(trace, 120, 121, S::msg_keyring_unusable_read);
}

/* ---------------------------------------------------------------------------
 * def _delete_password(self, name: str) -> None:                       [123]
 *     """删除系统凭据管理器密码。"""
 * ------------------------------------------------------------------------ */
Ref delete_password(const Trace& trace, Borrowed self, Borrowed name)
{
    // if not _KEYRING_AVAILABLE:                                        [125]
    //     return
    int available = truth(lookup_global(S::_KEYRING_AVAILABLE));
    if (available < 0) return trace.fail(125);
    if (!available) return Ref(borrow, Py_None);
    // try:
    //     keyring.delete_password(_KEYRING_SERVICE, self._keyring_account(name))   [128]
    Ref remove = get_attr(lookup_global(S::keyring), S::delete_password);
    Ref service = remove ? lookup_global(S::_KEYRING_SERVICE) : Ref();
    Ref account = service ? call_method(self, S::_keyring_account, name) : Ref();
    Ref removed = account ? call(remove, service, account) : Ref();
    if (removed) return Ref(borrow, Py_None);
    trace.add(128);
    // except Exception:
    //     pass
    Ref exc = catch_exception(borrowed(PyExc_Exception));
    if (!exc) return nullptr;
    return Ref(borrow, Py_None);
}

/* ---------------------------------------------------------------------------
 * Module body
 * ------------------------------------------------------------------------ */

// The body of the `try` around the keyring imports. `line` tells which
// statement failed.
bool import_keyring(int& line)
{
    // import keyring                                                    [13]
    line = 13;
    if (!set_global(S::keyring, import_module(S::keyring))) return false;
    // import keyring.errors                                             [14]
    line = 14;
    if (!set_global(S::keyring, import_module(S::keyring_errors))) return false;
    // _KEYRING_AVAILABLE = True                                         [16]
    line = 16;
    return set_global(S::_KEYRING_AVAILABLE, Ref(borrow, Py_True));
}

}  // namespace

int exec_module(const Trace& init)
{
    // import json                                                       [5]
    if (!set_global(S::json, import_module(S::json))) return init.fail(5);
    // import stat                                                       [6]
    if (!set_global(S::stat, import_module(S::stat))) return init.fail(6);
    // from pathlib import Path                                          [7]
    if (!import_from(S::pathlib, {S::Path})) return init.fail(7);
    // from zorvan.config import CONFIG_DIR                              [9]
    if (!import_from(S::zorvan_config, {S::CONFIG_DIR})) return init.fail(9);
    // from zorvan.seller_sprite.domain.exceptions import (
    //     InvalidCollectOptionError, SellerSpriteDependencyError)       [10]
    if (!import_from(S::zorvan_seller_sprite_domain_exceptions,
                     {S::InvalidCollectOptionError, S::SellerSpriteDependencyError})) {
        return init.fail(10);
    }

    // try:
    //     import keyring; import keyring.errors; _KEYRING_AVAILABLE = True
    int line = 0;
    if (!import_keyring(line)) {
        init.add(line);
        // except Exception:
        Ref exc = catch_exception(borrowed(PyExc_Exception));
        if (!exc) return -1;
        Handling handling(exc);
        //     _KEYRING_AVAILABLE = False                                [18]
        if (!set_global(S::_KEYRING_AVAILABLE, Ref(borrow, Py_False))) return init.fail(18);
    }

    // _KEYRING_SERVICE = "zorvan-seller-sprite"                          [21]
    if (!set_global(S::_KEYRING_SERVICE, Ref(borrow, string(S::keyring_service)))) return init.fail(21);

    // class SellerSpriteCredarium:                                      [24]
    //     """保存卖家精灵账号名与用户名，密码存入系统凭据管理器。"""
    Ref namespace_ = dict_of({{S::dunder_module, string(S::zorvan_seller_sprite_services_credarium)},
                              {S::dunder_qualname, string(S::SellerSpriteCredarium)},
                              {S::dunder_doc, string(S::class_doc)}});
    if (!namespace_) return init.fail(24);
    //     def __init__(...), def save(...), ...: one method object each,
    //     failing at the method's own def line.
    for (std::uint16_t index = 0; index < function_count; ++index) {
        const CodeDecl& method = generated::functions[index].code;
        Ref function = make_function(index);
        if (!function || PyDict_SetItem(namespace_, string(method.name), function) < 0) {
            return init.fail(method.first_line);
        }
    }
    Ref bases(steal, PyTuple_New(0));
    Ref cls = call(borrowed(reinterpret_cast<PyObject*>(&PyType_Type)), S::SellerSpriteCredarium, bases,
                   namespace_);
    if (!set_global(S::SellerSpriteCredarium, cls)) return init.fail(24);
    return 0;
}

// In class order, as in the manifest.
const Entry entries[function_count] = {
    entry<init>,
    entry<save>,
    entry<list>,
    entry<delete_>,
    entry<get>,
    entry<load_accounts>,
    entry<save_accounts>,
    entry<validate_name>,
    entry<keyring_account>,
    entry<require_keyring>,
    entry<set_password>,
    entry<get_password>,
    entry<delete_password>,
};

}  // namespace credarium
