"""Saving, listing, reading and deleting accounts, and how the store talks to
the credential manager, driven through an in-memory keyring backend."""

from __future__ import annotations

import json
import traceback

import pytest
from keyring.errors import KeyringLocked, NoKeyringError, PasswordSetError

from memory_keyring import UnavailableBackendError
from platforms import CASE_BLIND_CREDENTIALS
from zorvan.seller_sprite.domain.exceptions import InvalidCollectOptionError, SellerSpriteDependencyError
from zorvan.seller_sprite.services import credarium
from zorvan.seller_sprite.services.credarium import SellerSpriteCredarium

SOURCE = "zorvan/seller_sprite/services/credarium"
METHOD = "zorvan.seller_sprite.services.credarium.SellerSpriteCredarium."
SERVICE = "zorvan-seller-sprite"
SHOP, SELLER = "店铺二", "卖家乙"
NAME_MESSAGE = "账号名称只能包含字母、数字、下划线和中划线"
KEYRING_MISSING = "当前环境缺少 keyring，无法安全保存卖家精灵密码"
PASSWORD = f"pw-{SELLER}-Zq7!unique"


def not_found(name):
    return f"卖家精灵账号 `{name}` 不存在，请先执行 account save"


def case_clash(name, saved):
    return (f"卖家精灵账号 `{name}` 与已保存的账号 `{saved}` 只有大小写不同；系统凭据管理器不区分大小写，"
            "两者会共用一个密码。请换一个名称，或先删除已保存的账号")


def missing_password(name):
    return f"卖家精灵账号 `{name}` 缺少密码，请重新执行 account save"


def entries(exc):
    """(line, method) of the store's traceback entries, outermost first."""
    return [(e.lineno, e.name.removeprefix(METHOD))
            for e in traceback.extract_tb(exc.__traceback__) if e.filename == SOURCE]


@pytest.fixture
def store(tmp_path):
    return SellerSpriteCredarium(base_dir=tmp_path)


def write_file(store, mapping):
    store.meta_path.write_text(json.dumps(mapping), encoding="utf-8")


# ---------------------------------------------------------------------------
# The credential manager
# ---------------------------------------------------------------------------
@pytest.mark.parametrize("name", ["main", SHOP, "Ab-_9"])
def test_password_is_stored_under_the_service_and_account_name(store, memory_keyring, name):
    assert store.save(name=name, username="u", password=PASSWORD) == {"name": name, "username": "u"}
    assert memory_keyring.secrets == {(SERVICE, f"account:{name}"): PASSWORD}
    assert memory_keyring.calls == [("set_password", SERVICE, f"account:{name}")]


def test_stores_in_different_folders_share_passwords(tmp_path, memory_keyring):
    SellerSpriteCredarium(base_dir=tmp_path / "one").save(name="main", username="u", password=PASSWORD)
    other = SellerSpriteCredarium(base_dir=tmp_path / "two")
    assert other._get_password("main") == PASSWORD
    assert other.list() == []


@pytest.mark.parametrize("fail, cause_type",
                         [("no_backend", NoKeyringError), ("no_backend_subclass", UnavailableBackendError)])
@pytest.mark.parametrize("call, message, trace, cause_trace", [
    (lambda s: s.save(name="main", username="u2", password="other"), "当前系统 keyring 不可用，无法安全保存卖家精灵密码",
     [(39, "save"), (113, "_set_password")], [(111, "_set_password")]),
    (lambda s: s.get(name="main"), "当前系统 keyring 不可用，无法读取卖家精灵密码",
     [(68, "get"), (121, "_get_password")], [(119, "_get_password")]),
], ids=["save", "get"])
def test_missing_backend_becomes_the_dependency_error(store, memory_keyring, fail, cause_type,
                                                      call, message, trace, cause_trace):
    store.save(name="main", username="u", password=PASSWORD)
    before = store.meta_path.read_bytes()
    memory_keyring.fail = fail
    with pytest.raises(SellerSpriteDependencyError) as caught:
        call(store)
    exc = caught.value
    assert (type(exc), str(exc), entries(exc)) == (SellerSpriteDependencyError, message, trace)
    assert type(exc.__cause__) is cause_type and exc.__suppress_context__ is True
    assert entries(exc.__cause__) == cause_trace
    assert store.meta_path.read_bytes() == before


LOCKED = KeyringLocked("locked (simulated)")


@pytest.mark.parametrize("fail, call, error, message, trace", [
    ("set_error", lambda s: s.save(name="main", username="u2", password="other"),
     PasswordSetError, "could not store the password (simulated)", [(39, "save"), (111, "_set_password")]),
    (LOCKED, lambda s: s.get(name="main"),
     KeyringLocked, "locked (simulated)", [(68, "get"), (119, "_get_password")]),
    ("bad_type", lambda s: s.get(name="main"),
     TypeError, "Expected str, got bytes", [(68, "get"), (119, "_get_password")]),
], ids=["write error", "read error", "value of the wrong type"])
def test_other_keyring_errors_pass_through_unchanged(store, memory_keyring, monkeypatch,
                                                     fail, call, error, message, trace):
    store.save(name="main", username="u", password=PASSWORD)
    before = store.meta_path.read_bytes()
    if isinstance(fail, Exception):
        def refuse(service, username):
            raise fail
        monkeypatch.setattr(memory_keyring, "get_password", refuse)
    else:
        memory_keyring.fail = fail
    with pytest.raises(error) as caught:
        call(store)
    assert (type(caught.value), str(caught.value), entries(caught.value)) == (error, message, trace)
    assert caught.value.__cause__ is None
    assert fail is not LOCKED or caught.value is LOCKED
    assert store.meta_path.read_bytes() == before


@pytest.mark.parametrize("fail", [None, "no_backend", "no_backend_subclass"],
                         ids=["absent entry", "no backend", "backend subclass"])
def test_delete_ignores_keyring_errors_and_still_asks(store, memory_keyring, fail):
    store.save(name="main", username="u", password=PASSWORD)
    store.save(name="kept", username="u", password=PASSWORD)
    before = store.meta_path.read_bytes()
    memory_keyring.fail = fail
    memory_keyring.calls.clear()

    assert store.delete(name="ghost") is False
    assert store.meta_path.read_bytes() == before
    assert store.delete(name="main") is True
    assert store.list() == [{"name": "kept", "username": "u"}]
    assert memory_keyring.calls == [("delete_password", SERVICE, "account:ghost"),
                                    ("delete_password", SERVICE, "account:main")]


def test_interrupt_while_deleting_a_password_propagates(store, memory_keyring, monkeypatch):
    store.save(name="main", username="u", password=PASSWORD)

    def interrupt(service, username):
        raise KeyboardInterrupt

    monkeypatch.setattr(memory_keyring, "delete_password", interrupt)
    with pytest.raises(KeyboardInterrupt) as caught:
        store.delete(name="main")
    assert entries(caught.value) == [(58, "delete"), (128, "_delete_password")]
    assert store.list() == []  # the metadata entry went first


@pytest.mark.parametrize("unavailable", [False, 0, ""])
def test_keyring_switched_off_at_run_time_behaves_as_absent(store, memory_keyring, monkeypatch, unavailable):
    store.save(name="main", username="u", password=PASSWORD)
    before = store.meta_path.read_bytes()
    memory_keyring.calls.clear()
    monkeypatch.setattr(credarium, "_KEYRING_AVAILABLE", unavailable)

    for call, trace in [
        (lambda: store.save(name="other", username="u", password=PASSWORD),
         [(39, "save"), (109, "_set_password"), (104, "_require_keyring")]),
        (lambda: store.get(name="main"), [(68, "get"), (117, "_get_password"), (104, "_require_keyring")]),
    ]:
        with pytest.raises(SellerSpriteDependencyError) as caught:
            call()
        assert (str(caught.value), caught.value.__cause__, entries(caught.value)) == (KEYRING_MISSING, None, trace)
    assert store.meta_path.read_bytes() == before
    with pytest.raises(InvalidCollectOptionError) as caught:
        store.get(name="never")  # unknown before the keyring is needed
    assert (str(caught.value), entries(caught.value)) == (not_found("never"), [(67, "get")])
    assert store.delete(name="main") is True
    assert memory_keyring.calls == []


# ---------------------------------------------------------------------------
# Operations
# ---------------------------------------------------------------------------
def test_save_list_get_delete_round_trip(store, memory_keyring):
    assert store.list() == [] and not store.meta_path.exists()
    store.save(name="main", username="seller-a", password="pw-main")
    store.save(name=SHOP, username=SELLER, password=PASSWORD)
    store.save(name="Main-2", username="   ", password="pw-other")
    assert store.list() == [{"name": "main", "username": "seller-a"}, {"name": SHOP, "username": SELLER},
                            {"name": "Main-2", "username": "   "}]
    got = store.get(name=SHOP)
    assert list(got.items()) == [("name", SHOP), ("username", SELLER), ("password", PASSWORD)]
    assert store.get(name="Main-2")["password"] == "pw-other"

    assert store.delete(name=SHOP) is True
    assert store.delete(name=SHOP) is False
    with pytest.raises(InvalidCollectOptionError) as caught:
        store.get(name=SHOP)
    assert str(caught.value) == not_found(SHOP)
    store.delete(name="main")
    store.delete(name="Main-2")
    assert store.meta_path.read_bytes() == b"{}"
    assert memory_keyring.secrets == {}


# Windows' Credential Manager takes names differing only in case for one
# entry, so that the second would read and overwrite the first one's
# password: there the store refuses such a name before the password is
# touched (casefold() deciding too). Elsewhere each keeps its own.
@pytest.mark.parametrize("backend", ["memory_keyring", "credential_manager"])
@pytest.mark.parametrize("first, second", [("Main", "main"), ("ｍａｉｎ", "ＭＡＩＮ"), ("straße", "STRASSE")])
def test_names_differing_only_in_case_never_share_a_password(request, store, backend, first, second):
    request.getfixturevalue(backend)
    store.save(name=first, username="u1", password="pw-1")
    before = store.meta_path.read_bytes()
    if CASE_BLIND_CREDENTIALS:
        with pytest.raises(InvalidCollectOptionError) as caught:
            store.save(name=second, username="u2", password="pw-2")
        assert (str(caught.value), entries(caught.value)) == (case_clash(second, first), [(39, "save")])
        assert store.meta_path.read_bytes() == before
    else:
        store.save(name=second, username="u2", password="pw-2")
        assert store.get(name=second)["password"] == "pw-2"
    store.save(name="x", username="u3", password="pw-x")  # the third save that once swapped them
    assert store.get(name=first)["password"] == "pw-1"
    assert [row["name"] for row in store.list()] == [first, *[second][:not CASE_BLIND_CREDENTIALS], "x"]


def test_order_of_accounts_follows_first_save(store, memory_keyring):
    for name in ["a", "b", "c"]:
        store.save(name=name, username=f"{name}-1", password=PASSWORD)
    assert store.save(name="a", username="a-2", password="pw-2") == {"name": "a", "username": "a-2"}
    assert store.list() == [{"name": "a", "username": "a-2"}, {"name": "b", "username": "b-1"},
                            {"name": "c", "username": "c-1"}]
    assert store.get(name="a")["password"] == "pw-2"
    store.delete(name="a")
    store.save(name="a", username="a-3", password=PASSWORD)
    assert [row["name"] for row in store.list()] == ["b", "c", "a"]
    assert list(json.loads(store.meta_path.read_text(encoding="utf-8"))) == ["b", "c", "a"]


def test_save_replaces_the_whole_entry(store, memory_keyring):
    write_file(store, {"main": {"username": "old", "extra": 1}})
    store.save(name="main", username="new", password=PASSWORD)
    assert json.loads(store.meta_path.read_text(encoding="utf-8")) == {"main": {"username": "new"}}


@pytest.mark.parametrize("call, message, trace", [
    (lambda s: s.save(name="a b", username="", password=""), NAME_MESSAGE, [(34, "save"), (95, "_validate_name")]),
    (lambda s: s.save(name="", username="u", password="p"), NAME_MESSAGE, [(34, "save"), (95, "_validate_name")]),
    (lambda s: s.save(name="main", username="", password=""), "必须提供卖家精灵用户名", [(36, "save")]),
    (lambda s: s.save(name="main", username="a\ud800", password="p"), "卖家精灵用户名包含无法写入账号文件的字符（单独的代理码位）",
     [(36, "save")]),
    (lambda s: s.save(name="main", username="u", password=""), "必须提供卖家精灵密码", [(38, "save")]),
    (lambda s: s.get(name="a.b"), NAME_MESSAGE, [(63, "get"), (95, "_validate_name")]),
    (lambda s: s.delete(name="a@b"), NAME_MESSAGE, [(52, "delete"), (95, "_validate_name")]),
    (lambda s: s.get(name=SHOP), not_found(SHOP), [(67, "get")]),
], ids=["bad name first", "empty name", "username before password", "lone surrogate", "password", "get", "delete",
        "never saved"])
def test_refused_requests_change_nothing(store, memory_keyring, call, message, trace):
    with pytest.raises(InvalidCollectOptionError) as caught:
        call(store)
    assert (str(caught.value), entries(caught.value)) == (message, trace)
    assert memory_keyring.calls == []
    assert not store.meta_path.exists()


@pytest.mark.parametrize("stored", [None, ""], ids=["removed", "empty"])
def test_get_without_a_password_asks_to_save_again(store, memory_keyring, stored):
    store.save(name=SHOP, username=SELLER, password=PASSWORD)
    key = (SERVICE, f"account:{SHOP}")
    if stored is None:
        del memory_keyring.secrets[key]
    else:
        memory_keyring.secrets[key] = stored
    with pytest.raises(InvalidCollectOptionError) as caught:
        store.get(name=SHOP)
    assert (str(caught.value), entries(caught.value)) == (missing_password(SHOP), [(70, "get")])
    assert store.list() == [{"name": SHOP, "username": SELLER}]


def test_empty_entry_is_listed_and_deletable_but_not_found(store, memory_keyring):
    write_file(store, {"empty": {}})
    assert store.list() == [{"name": "empty", "username": None}]
    with pytest.raises(InvalidCollectOptionError) as caught:
        store.get(name="empty")
    assert str(caught.value) == not_found("empty")
    assert store.delete(name="empty") is True
    assert store.meta_path.read_bytes() == b"{}"


@pytest.mark.parametrize("entry", [None, False, 0, "", []])
def test_false_entry_is_not_found_without_asking_the_keyring(store, memory_keyring, entry):
    write_file(store, {"x": entry})
    with pytest.raises(InvalidCollectOptionError) as caught:
        store.get(name="x")
    assert str(caught.value) == not_found("x")
    assert memory_keyring.calls == []


@pytest.mark.parametrize("entry, type_name", [(None, "NoneType"), (1, "int"), ("u", "str"), ([1], "list")])
def test_entry_that_is_not_an_object_breaks_list(store, entry, type_name):
    write_file(store, {"good": {"username": "u"}, "bad": entry})
    with pytest.raises(AttributeError) as caught:
        store.list()
    assert str(caught.value) == f"'{type_name}' object has no attribute 'get'"
    assert entries(caught.value) == [(48, "list")]


def test_true_entry_that_is_not_an_object_breaks_get_once_a_password_exists(store, memory_keyring):
    write_file(store, {"x": "u"})
    memory_keyring.secrets[(SERVICE, "account:x")] = PASSWORD
    with pytest.raises(AttributeError) as caught:
        store.get(name="x")
    assert (str(caught.value), entries(caught.value)) == ("'str' object has no attribute 'get'", [(73, "get")])


# ---------------------------------------------------------------------------
# The password stays in the credential manager
# ---------------------------------------------------------------------------
def texts_of(exc):
    """Messages, reprs and formatted tracebacks of exc and all it chains to."""
    texts = []
    while exc is not None:
        texts += [str(exc), repr(exc), "".join(traceback.format_exception(exc))]
        exc = exc.__cause__ or exc.__context__
    return texts


@pytest.mark.parametrize("setup, name", [
    (lambda store, backend, mp: setattr(backend, "fail", "no_backend"), "main"),
    (lambda store, backend, mp: setattr(backend, "fail", "no_backend_subclass"), "main"),
    (lambda store, backend, mp: setattr(backend, "fail", "set_error"), "main"),
    (lambda store, backend, mp: mp.setattr(credarium, "_KEYRING_AVAILABLE", False), "main"),
    (lambda store, backend, mp: store.meta_path.mkdir(), "main"),
    (lambda store, backend, mp: None, "bad name"),
], ids=["no backend", "backend subclass", "set error", "keyring off", "file blocked", "bad name"])
def test_no_failure_of_save_shows_the_password(store, memory_keyring, monkeypatch, setup, name):
    setup(store, memory_keyring, monkeypatch)
    with pytest.raises(Exception) as caught:
        store.save(name=name, username="u", password=PASSWORD)
    assert [text for text in texts_of(caught.value) if PASSWORD in text] == []


def test_password_never_reaches_a_file_or_a_result(store, memory_keyring):
    store.meta_path.write_bytes(b"not json")  # so a copy is set aside too
    saved = store.save(name=SHOP, username=SELLER, password=PASSWORD)
    store.save(name="main", username="u", password=PASSWORD)
    files = list(store.base_dir.iterdir())
    assert len(files) == 3  # the file, the copy set aside and the lock
    for path in files:
        content = path.read_bytes()
        assert PASSWORD.encode() not in content and PASSWORD.encode("unicode_escape") not in content
    for shown in [saved, store.list(), store, vars(store)]:
        assert PASSWORD not in repr(shown)


@pytest.mark.parametrize("call, given", [
    (lambda s: s.save("main", username="u", password="pw"), 2),
    (lambda s: s.save("main", "u", password="pw"), 3),
    (lambda s: SellerSpriteCredarium.get(s, "main"), 2),
    (lambda s: s.delete("main"), 2),
])
def test_keyword_only_parameters_are_never_filled_by_position(store, memory_keyring, call, given):
    with pytest.raises(TypeError) as caught:
        call(store)
    assert str(caught.value).endswith(f"takes exactly 1 positional argument ({given} given)")
    assert not store.meta_path.exists() and memory_keyring.calls == []
