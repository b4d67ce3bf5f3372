# crypt_main.py: what the traceback entries of crypt_main point at.
#
# crypt_main is C++, but its traceback entries read File "crypt_main.py",
# line N: line N of this file is the statement that was running, and each
# method's steps are these statements, in this order. Lines left empty are
# lines that no entry reports. tests/module/test_listing.py runs this file
# beside the module and checks that both report the same lines.
# Not importable as crypt_main, on purpose: it is a listing, not the module.


import base64
import hashlib
import hmac


import time
from binascii import a2b_hex
from binascii import b2a_hex


import jwt
import rsa
from Crypto.Cipher import AES
from Crypto.Cipher import DES
from Crypto.Util.Padding import pad
from Crypto.Util.Padding import unpad




class TarvikCryptMain:
    def __init__(self):
        pass

















    @staticmethod
    def _aes_ecb_encrypt(value, key):
        cryptor = AES.new(key.encode("utf-8"), AES.MODE_ECB)
        result = cryptor.encrypt(pad(value.encode("utf-8"), AES.block_size))
        return result

    @staticmethod
    def _aes_ecb_decrypt(value, key):
        cryptor = AES.new(key.encode("utf-8"), AES.MODE_ECB)
        text = cryptor.decrypt(value)
        result = unpad(text, AES.block_size).decode()
        return result

    @staticmethod
    def _aes_cbc_encrypt(value, key, iv):
        cryptor = AES.new(key.encode("utf-8"), AES.MODE_CBC, iv.encode("utf-8"))
        result = cryptor.encrypt(pad(value.encode("utf-8"), AES.block_size))
        return result

    @staticmethod
    def _aes_cbc_decrypt(value, key, iv):
        cryptor = AES.new(key.encode("utf-8"), AES.MODE_CBC, iv.encode("utf-8"))
        text = cryptor.decrypt(value)
        result = unpad(text, AES.block_size).decode()
        return result

    @staticmethod
    def _base64_encrypt(value):

        result = str(base64.encodebytes(value.encode()), encoding="utf-8").replace("\n", "")
        return result
    @staticmethod
    def _base64_decrypt(value):

        result = str(base64.decodebytes(value.encode(encoding="utf-8")), encoding="utf-8")
        return result
    @staticmethod
    def _des_encrypt(value, key):
        cryptor = DES.new(key.encode("utf-8"), DES.MODE_ECB)
        result = cryptor.encrypt(pad(value.encode("utf-8"), DES.block_size))
        return result

    @staticmethod
    def _des_decrypt(value, key):
        cryptor = DES.new(key.encode("utf-8"), DES.MODE_ECB)
        text = cryptor.decrypt(value)
        result = unpad(text, DES.block_size).decode()
        return result

    @staticmethod
    def _md5_encrypt(value, fmt):
        result = hashlib.md5()
        result.update(value if isinstance(value, bytes) else value.encode(encoding="utf-8"))
        result = result.hexdigest()
        if fmt == "upper":
            return result.upper()
        if fmt == "lower":
            return result.lower()
        return result






    @staticmethod
    def _md5_hmac_encrypt(value, key, fmt):
        value = value if isinstance(value, bytes) else value.encode(encoding="utf-8")
        key = key if isinstance(key, bytes) else key.encode(encoding="utf-8")
        result = hmac.new(key, value, digestmod=hashlib.md5)
        result = result.digest()
        if fmt == "upper":
            return result.upper()
        if fmt == "lower":
            return result.lower()
        return result






    def _php_encrypt(self, value, key, iv, base64s=False):
        cryptor = AES.new(self._add_to_16(key), AES.MODE_CBC, iv.encode("utf-8"))
        result = cryptor.encrypt(self._add_to_16(value))
        if base64s:
            result = str(base64.encodebytes(result), encoding="utf-8").replace("\n", "")
        return result

    def _php_decrypt(self, value, key, iv, base64s=False):
        cryptor = AES.new(self._add_to_16(key), AES.MODE_CBC, iv.encode("utf-8"))
        if base64s:
            value = base64.decodebytes(value.encode())
        text = cryptor.decrypt(value).decode("gbk")
        result = text.rstrip("\0")
        return result
    @staticmethod
    def _add_to_16(value):

        value = value.encode("gbk")
        while len(value) % 16 != 0:
            value += "\0".encode()
        return value
    @staticmethod
    def _rsa_keys():

        pub_key, pri_key = rsa.newkeys(256)
        return pub_key, pri_key

    def _rsa_encrypt(self, value, pub_key=None, hexs=False):
        if pub_key:
            pri_key = None
        else:
            pub_key, pri_key = self._rsa_keys()
        text = rsa.encrypt(value.encode(), pub_key)
        result = b2a_hex(text) if hexs else text
        return (result, pub_key, pri_key) if pri_key else result
    @staticmethod
    def _rsa_decrypt(value, pri_key, hexs=False):

        value = a2b_hex(value) if hexs else value
        result = rsa.decrypt(value, pri_key).decode()
        return result
    @staticmethod
    def _sha1_encrypt(value, fmt):
        result = hashlib.sha1()
        result.update(value.encode(encoding="utf-8"))
        result = result.hexdigest()
        if fmt == "upper":
            return result.upper()
        if fmt == "lower":
            return result.lower()
        return result



    @staticmethod
    def _sha256_encrypt(value, fmt):
        result = hashlib.sha256()
        result.update(value.encode(encoding="utf-8"))
        result = result.hexdigest()
        if fmt == "upper":
            return result.upper()
        if fmt == "lower":
            return result.lower()
        return result



    @staticmethod
    def _sha384_encrypt(value, fmt):
        result = hashlib.sha384()
        result.update(value.encode(encoding="utf-8"))
        result = result.hexdigest()
        if fmt == "upper":
            return result.upper()
        if fmt == "lower":
            return result.lower()
        return result



    @staticmethod
    def _sha512_encrypt(value, fmt):
        result = hashlib.sha512()
        result.update(value.encode(encoding="utf-8"))
        result = result.hexdigest()
        if fmt == "upper":
            return result.upper()
        if fmt == "lower":
            return result.lower()
        return result



    @staticmethod
    def _token_encrypt(data, key, exp_time, issuer):
        issuer = issuer if issuer else "tarvik"
        token_dict = {"data": data, "iat": int(time.time()), "iss": issuer}
        if isinstance(exp_time, int):
            token_dict["exp"] = int(time.time()) + exp_time
        elif exp_time is not None:  # a float or a str must not give a token that never expires
            raise TypeError("exp_time must be an int number of seconds or None, not %s" % type(exp_time).__name__)
        result = jwt.encode(token_dict, key, algorithm="HS256"); return result
    @staticmethod
    def _token_decrypt(token, key, issuer):
        issuer = issuer if issuer else "tarvik"
        try:
            token_dict = jwt.decode(token, key, issuer=issuer, algorithms=["HS256"])
            return token_dict.get("data")
        except jwt.exceptions.ExpiredSignatureError:
            return "token已过期"
        except Exception as e:
            return f"系统异常：{e}"
