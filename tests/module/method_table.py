"""The methods of TarvikCryptMain as callers see them, and a model of how a
call's arguments are bound, to check the extension against."""

import collections

Method = collections.namedtuple("Method", "name static params locals line")

_ROWS = [
    # name               static params                                   locals                    line
    ("__init__",          0, "self",                                   "",                       32),
    ("_aes_ecb_encrypt",  1, "value, key",                             "cryptor, result",        52),
    ("_aes_ecb_decrypt",  1, "value, key",                             "cryptor, text, result",  58),
    ("_aes_cbc_encrypt",  1, "value, key, iv",                         "cryptor, result",        65),
    ("_aes_cbc_decrypt",  1, "value, key, iv",                         "cryptor, text, result",  71),
    ("_base64_encrypt",   1, "value",                                  "result",                 78),
    ("_base64_decrypt",   1, "value",                                  "result",                 83),
    ("_des_encrypt",      1, "value, key",                             "cryptor, result",        88),
    ("_des_decrypt",      1, "value, key",                             "cryptor, text, result",  94),
    ("_md5_encrypt",      1, "value, fmt",                             "result",                101),
    ("_md5_hmac_encrypt", 1, "value, key, fmt",                        "result",                117),
    ("_php_encrypt",      0, "self, value, key, iv, base64s=False",    "cryptor, result",       133),
    ("_php_decrypt",      0, "self, value, key, iv, base64s=False",    "cryptor, text, result", 140),
    ("_add_to_16",        1, "value",                                  "",                      148),
    ("_rsa_keys",         1, "",                                       "pub_key, pri_key",      155),
    ("_rsa_encrypt",      0, "self, value, pub_key=None, hexs=False",  "pri_key, text, result", 160),
    ("_rsa_decrypt",      1, "value, pri_key, hexs=False",             "result",                169),
    ("_sha1_encrypt",     1, "value, fmt",                             "result",                175),
    ("_sha256_encrypt",   1, "value, fmt",                             "result",                188),
    ("_sha384_encrypt",   1, "value, fmt",                             "result",                201),
    ("_sha512_encrypt",   1, "value, fmt",                             "result",                214),
    ("_token_encrypt",    1, "data, key, exp_time, issuer",            "token_dict, result",    227),
    ("_token_decrypt",    1, "token, key, issuer",                     "token_dict, e",         236),
]

METHODS = [Method(*row) for row in _ROWS]


def split(names):
    return [n.strip() for n in names.split(",") if n.strip()]


def param_names(m):
    return [p.split("=")[0] for p in split(m.params)]


def defaults(m):
    """The defaults in parameter order, as the interpreter would hold them."""
    return tuple({"None": None, "False": False}[p.split("=")[1]] for p in split(m.params) if "=" in p)


def binding_error(m, k, kwnames):
    """The TypeError message for a call of `m` with `k` positional arguments
    and keywords named `kwnames` (in call order), or None if it binds."""
    params = param_names(m)
    n, r = len(params), len(params) - len(defaults(m))
    if n == 0:
        if kwnames:
            return "%s() takes no keyword arguments" % m.name
        return "%s() takes no arguments (%d given)" % (m.name, k) if k else None

    def count(given):
        if r == n:
            qualifier, expected = "exactly", n
        elif given > n:
            qualifier, expected = "at most", n
        else:
            qualifier, expected = "at least", r
        return "%s() takes %s %d positional argument%s (%d given)" % (
            m.name, qualifier, expected, "" if expected == 1 else "s", given)

    if k > n:
        return count(k)
    if not kwnames:
        return count(k) if k < r else None
    used = 0
    for i in range(k, n):
        if params[i] in kwnames:
            used += 1
        elif i < r:
            return count(i)
    if used < len(kwnames):
        for name in kwnames:
            if not isinstance(name, str):
                return "%s() keywords must be strings" % m.name
            if name in params[:k]:
                return "%s() got multiple values for keyword argument '%s'" % (m.name, name)
            if name not in params:
                return "%s() got an unexpected keyword argument '%s'" % (m.name, name)
    return None
