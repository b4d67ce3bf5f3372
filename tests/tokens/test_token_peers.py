import base64
import json
import shutil
import subprocess

import pytest

pytestmark = pytest.mark.peer


def unb64url(part):
    return base64.urlsafe_b64decode(part + "=" * (-len(part) % 4))


@pytest.mark.parametrize("key", ["k" * 32, "A longer secret, with spaces: 0123456789"])
@pytest.mark.parametrize("data, exp_time", [({"user": "ü", "n": [1, 2]}, 3600), ("text", None)])
def test_openssl_checks_the_signature(C, key, data, exp_time):
    if not shutil.which("openssl"):
        pytest.skip("openssl is not installed")
    token = C._token_encrypt(data, key, exp_time, None)
    header, payload, signature = (token.decode() if isinstance(token, bytes) else token).split(".")
    out = subprocess.run(["openssl", "dgst", "-sha256", "-mac", "HMAC", "-macopt", "key:" + key],
                         input=(header + "." + payload).encode(), capture_output=True, check=True)
    assert out.stdout.split()[-1].decode() == unb64url(signature).hex()
    assert json.loads(unb64url(header))["alg"] == "HS256"
    pairs = json.loads(unb64url(payload), object_pairs_hook=lambda pairs: pairs)
    assert [name for name, _ in pairs] == ["data", "iat", "iss"] + ["exp"] * (exp_time is not None)
    claims = json.loads(unb64url(payload))
    assert claims["data"] == data and claims["iss"] == "tarvik"
    if exp_time is not None:
        assert claims["exp"] - claims["iat"] in (exp_time, exp_time + 1)
