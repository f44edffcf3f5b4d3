"""The store against the platform's real credential manager, private to the
tests: keyring's Secret Service backend on a D-Bus session with its own
keyring daemon on Linux, the Windows Credential Manager of a Wine prefix of
its own on Windows."""

from __future__ import annotations

import json
import subprocess
import sys

import keyring
import pytest

from zorvan.seller_sprite.domain.exceptions import InvalidCollectOptionError
from zorvan.seller_sprite.services.credarium import SellerSpriteCredarium

SERVICE = "zorvan-seller-sprite"
SHOP = "店铺二"
SELLER = "卖家乙"
NOT_FOUND = "卖家精灵账号 `{}` 不存在，请先执行 account save"
PASSWORD = f"pw-{SELLER}-secret-service"


def test_accounts_round_trip_through_the_credential_manager(credential_manager, tmp_path):
    store = SellerSpriteCredarium(base_dir=tmp_path)
    store.save(name="main", username="seller-a", password="pw-main")
    store.save(name=SHOP, username=SELLER, password=PASSWORD)

    # The password sits in the credential manager, not in the file.
    assert keyring.get_password(SERVICE, f"account:{SHOP}") == PASSWORD
    assert PASSWORD.encode() not in store.meta_path.read_bytes()
    assert store.list() == [{"name": "main", "username": "seller-a"}, {"name": SHOP, "username": SELLER}]
    assert store.get(name=SHOP) == {"name": SHOP, "username": SELLER, "password": PASSWORD}

    # Another process finds the same account in the same credential manager.
    child = subprocess.run(
        [sys.executable, "-c",
         "import json, sys\n"
         "from zorvan.seller_sprite.services.credarium import SellerSpriteCredarium\n"
         "store = SellerSpriteCredarium(base_dir=sys.argv[1])\n"
         "sys.stdout.write(json.dumps(store.get(name=sys.argv[2])))\n",
         str(tmp_path), SHOP],
        env=credential_manager, capture_output=True, text=True, timeout=60,
    )
    assert child.returncode == 0, child.stderr
    assert json.loads(child.stdout) == {"name": SHOP, "username": SELLER, "password": PASSWORD}

    assert store.delete(name=SHOP) is True
    assert keyring.get_password(SERVICE, f"account:{SHOP}") is None
    with pytest.raises(InvalidCollectOptionError) as caught:
        store.get(name=SHOP)
    assert str(caught.value) == NOT_FOUND.format(SHOP)
    assert store.list() == [{"name": "main", "username": "seller-a"}]


def test_saving_again_replaces_the_secret(credential_manager, tmp_path):
    store = SellerSpriteCredarium(base_dir=tmp_path)
    store.save(name="main", username="u", password="first")
    store.save(name="main", username="u", password="second")
    assert keyring.get_password(SERVICE, "account:main") == "second"
    assert store.get(name="main")["password"] == "second"


def test_deleting_an_absent_entry_is_silent(credential_manager, tmp_path):
    store = SellerSpriteCredarium(base_dir=tmp_path)
    assert store.delete(name="never") is False
    assert store._delete_password("never") is None
    assert not store.meta_path.exists()

    # An account whose secret was removed behind the store's back still goes.
    store.save(name=SHOP, username=SELLER, password=PASSWORD)
    keyring.delete_password(SERVICE, f"account:{SHOP}")
    assert store.delete(name=SHOP) is True
    assert store.list() == []
