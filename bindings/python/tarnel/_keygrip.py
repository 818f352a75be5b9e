"""Keygrips and public keys of GnuPG's keys, computed as libgcrypt and gpg-agent compute them.

A keygrip is the SHA-1 digest by which GnuPG names a key whatever its format (it names the files
in `private-keys-v1.d`): libgcrypt's `gcry_pk_get_keygrip`. It digests only the public parameters,
so a private key, the same key protected, and its public key share one. Per algorithm:

- RSA: the octets of `n`, exactly as written;
- DSA and Elgamal: `(1:p<len>:<octets>)` for each of p, q, g, y (Elgamal: p, g, y), as written;
- ECC: the same form for p, a, b, g, n and q, where p to n are the named curve's parameters (as
  unsigned integers without leading zeros; g uncompressed), and q is the key's point: an Ed25519
  key with the `eddsa` flag takes its EdDSA encoding (a 0x40 prefix dropped, an uncompressed
  point compressed), a key with `djb-tweak` drops the 0x40 prefix, and any other a compressed
  point (0x02, 0x03) is uncompressed first.

Elements are found as libgcrypt finds them (`gcry_sexp_find_token`: the first list in document
order with that first element, `tarnel.find`), and a display hint counts as an octet string of
its own before its data, as libgcrypt reads one. The curves, their aliases and the flags are
libgcrypt's own; an unknown algorithm, curve or flag raises ValueError naming it.

`public_key` builds what gpg-agent's READKEY returns for a private key: the algorithm, for ECC its
`curve` and `flags` lists as they are, the public parameters as libgcrypt's standard signed
integers (leading zeros dropped, one put back before a high bit), then `uri` and `comment` where
the key has them.
"""

from __future__ import annotations

import hashlib

from ._streaming import find

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Optional

    from .types import SExp, SExpLike

    # What libgcrypt sees of a key: lists of octet strings (see _libgcrypt_view).
    Tree = list[Any]

__all__ = ["keygrip", "public_key"]

# Curves: name, whether it is the Ed25519 dialect, then p, a, b, n, G's x and G's y in hexadecimal
# as libgcrypt lists them (the digits of x and y are joined after 04 to make g, so their widths
# matter; a and b may be negative, and their magnitudes are what is digested).
_CURVE_TABLE = [
    ("Ed25519", True,
     "7FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFED",
     "-01",
     "-2DFC9311D490018C7338BF8688861767FF8FF5B2BEBE27548A14B235ECA6874A",
     "1000000000000000000000000000000014DEF9DEA2F79CD65812631A5CF5D3ED",
     "216936D3CD6E53FEC0A4E231FDD6DC5C692CC7609525A7B2C9562D608F25D51A",
     "6666666666666666666666666666666666666666666666666666666666666658"),
    ("Curve25519", False,
     "7FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFED",
     "01DB41",
     "01",
     "1000000000000000000000000000000014DEF9DEA2F79CD65812631A5CF5D3ED",
     "0000000000000000000000000000000000000000000000000000000000000009",
     "20AE19A1B8A086B4E01EDD2C7748D14C923D4D7E6D7C61B229E9C5A27ECED3D9"),
    ("Ed448", False,
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFE"
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF",
     "01",
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFE"
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF6756",
     "3FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"
     "7CCA23E9C44EDB49AED63690216CC2728DC58F552378C292AB5844F3",
     "4F1970C66BED0DED221D15A622BF36DA9E146570470F1767EA6DE324"
     "A3D3A46412AE1AF72AB66511433B80E18B00938E2626A82BC70CC05E",
     "693F46716EB6BC248876203756C9C7624BEA73736CA3984087789C1E"
     "05A0C2D73AD3FF1CE67C39C4FDBD132C4ED7C8AD9808795BF230FA14"),
    ("X448", False,
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFE"
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF",
     "98A9",
     "01",
     "3FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"
     "7CCA23E9C44EDB49AED63690216CC2728DC58F552378C292AB5844F3",
     "00000000000000000000000000000000000000000000000000000000"
     "00000000000000000000000000000000000000000000000000000005",
     "7D235D1295F5B1F66C98AB6E58326FCECBAE5D34F55545D060F75DC2"
     "8DF3F6EDB8027E2346430D211312C4B150677AF76FD7223D457B5B1A"),
    ("NIST P-192", False,
     "fffffffffffffffffffffffffffffffeffffffffffffffff",
     "fffffffffffffffffffffffffffffffefffffffffffffffc",
     "64210519e59c80e70fa7e9ab72243049feb8deecc146b9b1",
     "ffffffffffffffffffffffff99def836146bc9b1b4d22831",
     "188da80eb03090f67cbf20eb43a18800f4ff0afd82ff1012",
     "07192b95ffc8da78631011ed6b24cdd573f977a11e794811"),
    ("NIST P-224", False,
     "ffffffffffffffffffffffffffffffff000000000000000000000001",
     "fffffffffffffffffffffffffffffffefffffffffffffffffffffffe",
     "b4050a850c04b3abf54132565044b0b7d7bfd8ba270b39432355ffb4",
     "ffffffffffffffffffffffffffff16a2e0b8f03e13dd29455c5c2a3d",
     "b70e0cbd6bb4bf7f321390b94a03c1d356c21122343280d6115c1d21",
     "bd376388b5f723fb4c22dfe6cd4375a05a07476444d5819985007e34"),
    ("NIST P-256", False,
     "ffffffff00000001000000000000000000000000ffffffffffffffffffffffff",
     "ffffffff00000001000000000000000000000000fffffffffffffffffffffffc",
     "5ac635d8aa3a93e7b3ebbd55769886bc651d06b0cc53b0f63bce3c3e27d2604b",
     "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551",
     "6b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296",
     "4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5"),
    ("NIST P-384", False,
     "fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffe"
     "ffffffff0000000000000000ffffffff",
     "fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffe"
     "ffffffff0000000000000000fffffffc",
     "b3312fa7e23ee7e4988e056be3f82d19181d9c6efe8141120314088f5013875a"
     "c656398d8a2ed19d2a85c8edd3ec2aef",
     "ffffffffffffffffffffffffffffffffffffffffffffffffc7634d81f4372ddf"
     "581a0db248b0a77aecec196accc52973",
     "aa87ca22be8b05378eb1c71ef320ad746e1d3b628ba79b9859f741e082542a38"
     "5502f25dbf55296c3a545e3872760ab7",
     "3617de4a96262c6f5d9e98bf9292dc29f8f41dbd289a147ce9da3113b5f0b8c0"
     "0a60b1ce1d7e819d7a431d7c90ea0e5f"),
    ("NIST P-521", False,
     "01ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"
     "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
     "01ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"
     "fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffc",
     "051953eb9618e1c9a1f929a21a0b68540eea2da725b99b315f3b8b489918ef10"
     "9e156193951ec7e937b1652c0bd3bb1bf073573df883d2c34f1ef451fd46b503f00",
     "01ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"
     "fffa51868783bf2f966b7fcc0148f709a5d03bb5c9b8899c47aebb6fb71e91386409",
     "00c6858e06b70404e9cd9e3ecb662395b4429c648139053fb521f828af606b4d"
     "3dbaa14b5e77efe75928fe1dc127a2ffa8de3348b3c1856a429bf97e7e31c2e5bd66",
     "011839296a789a3bc0045c8a5fb42c7d1bd998f54449579b446817afbd17273e"
     "662c97ee72995ef42640c550b9013fad0761353c7086a272c24088be94769fd16650"),
    ("brainpoolP160r1", False,
     "e95e4a5f737059dc60dfc7ad95b3d8139515620f",
     "340e7be2a280eb74e2be61bada745d97e8f7c300",
     "1e589a8595423412134faa2dbdec95c8d8675e58",
     "e95e4a5f737059dc60df5991d45029409e60fc09",
     "bed5af16ea3f6a4f62938c4631eb5af7bdbcdbc3",
     "1667cb477a1a8ec338f94741669c976316da6321"),
    ("brainpoolP192r1", False,
     "c302f41d932a36cda7a3463093d18db78fce476de1a86297",
     "6a91174076b1e0e19c39c031fe8685c1cae040e5c69a28ef",
     "469a28ef7c28cca3dc721d044f4496bcca7ef4146fbf25c9",
     "c302f41d932a36cda7a3462f9e9e916b5be8f1029ac4acc1",
     "c0a0647eaab6a48753b033c56cb0f0900a2f5c4853375fd6",
     "14b690866abd5bb88b5f4828c1490002e6773fa2fa299b8f"),
    ("brainpoolP224r1", False,
     "d7c134aa264366862a18302575d1d787b09f075797da89f57ec8c0ff",
     "68a5e62ca9ce6c1c299803a6c1530b514e182ad8b0042a59cad29f43",
     "2580f63ccfe44138870713b1a92369e33e2135d266dbb372386c400b",
     "d7c134aa264366862a18302575d0fb98d116bc4b6ddebca3a5a7939f",
     "0d9029ad2c7e5cf4340823b2a87dc68c9e4ce3174c1e6efdee12c07d",
     "58aa56f772c0726f24c6b89e4ecdac24354b9e99caa3f6d3761402cd"),
    ("brainpoolP256r1", False,
     "a9fb57dba1eea9bc3e660a909d838d726e3bf623d52620282013481d1f6e5377",
     "7d5a0975fc2c3057eef67530417affe7fb8055c126dc5c6ce94a4b44f330b5d9",
     "26dc5c6ce94a4b44f330b5d9bbd77cbf958416295cf7e1ce6bccdc18ff8c07b6",
     "a9fb57dba1eea9bc3e660a909d838d718c397aa3b561a6f7901e0e82974856a7",
     "8bd2aeb9cb7e57cb2c4b482ffc81b7afb9de27e1e3bd23c23a4453bd9ace3262",
     "547ef835c3dac4fd97f8461a14611dc9c27745132ded8e545c1d54c72f046997"),
    ("brainpoolP320r1", False,
     "d35e472036bc4fb7e13c785ed201e065f98fcfa6f6f40def4f92b9ec7893ec28fcd412b1f1b32e27",
     "3ee30b568fbab0f883ccebd46d3f3bb8a2a73513f5eb79da66190eb085ffa9f492f375a97d860eb4",
     "520883949dfdbc42d3ad198640688a6fe13f41349554b49acc31dccd884539816f5eb4ac8fb1f1a6",
     "d35e472036bc4fb7e13c785ed201e065f98fcfa5b68f12a32d482ec7ee8658e98691555b44c59311",
     "43bd7e9afb53d8b85289bcc48ee5bfe6f20137d10a087eb6e7871e2a10a599c710af8d0d39e20611",
     "14fdd05545ec1cc8ab4093247f77275e0743ffed117182eaa9c77877aaac6ac7d35245d1692e8ee1"),
    ("brainpoolP384r1", False,
     "8cb91e82a3386d280f5d6f7e50e641df152f7109ed5456b412b1da197fb71123"
     "acd3a729901d1a71874700133107ec53",
     "7bc382c63d8c150c3c72080ace05afa0c2bea28e4fb22787139165efba91f90f"
     "8aa5814a503ad4eb04a8c7dd22ce2826",
     "04a8c7dd22ce28268b39b55416f0447c2fb77de107dcd2a62e880ea53eeb62d5"
     "7cb4390295dbc9943ab78696fa504c11",
     "8cb91e82a3386d280f5d6f7e50e641df152f7109ed5456b31f166e6cac0425a7"
     "cf3ab6af6b7fc3103b883202e9046565",
     "1d1c64f068cf45ffa2a63a81b7c13f6b8847a3e77ef14fe3db7fcafe0cbd10e8"
     "e826e03436d646aaef87b2e247d4af1e",
     "8abe1d7520f9c2a45cb1eb8e95cfd55262b70b29feec5864e19c054ff9912928"
     "0e4646217791811142820341263c5315"),
    ("brainpoolP512r1", False,
     "aadd9db8dbe9c48b3fd4e6ae33c9fc07cb308db3b3c9d20ed6639cca70330871"
     "7d4d9b009bc66842aecda12ae6a380e62881ff2f2d82c68528aa6056583a48f3",
     "7830a3318b603b89e2327145ac234cc594cbdd8d3df91610a83441caea9863bc"
     "2ded5d5aa8253aa10a2ef1c98b9ac8b57f1117a72bf2c7b9e7c1ac4d77fc94ca",
     "3df91610a83441caea9863bc2ded5d5aa8253aa10a2ef1c98b9ac8b57f1117a7"
     "2bf2c7b9e7c1ac4d77fc94cadc083e67984050b75ebae5dd2809bd638016f723",
     "aadd9db8dbe9c48b3fd4e6ae33c9fc07cb308db3b3c9d20ed6639cca70330870"
     "553e5c414ca92619418661197fac10471db1d381085ddaddb58796829ca90069",
     "81aee4bdd82ed9645a21322e9c4c6a9385ed9f70b5d916c1b43b62eef4d0098e"
     "ff3b1f78e2d0d48d50d1687b93b97d5f7c6d5047406a5e688b352209bcb9f822",
     "7dde385d566332ecc0eabfa9cf7822fdf209f70024a57b1aa000c55b881f8111"
     "b2dcde494a5f485e5bca4bd88a2763aed1ca2b2fa8f0540678cd1e0f3ad80892"),
    ("GOST2001-test", False,
     "8000000000000000000000000000000000000000000000000000000000000431",
     "0000000000000000000000000000000000000000000000000000000000000007",
     "5fbff498aa938ce739b8e022fbafef40563f6e6a3472fc2a514c0ce9dae23b7e",
     "8000000000000000000000000000000150fe8a1892976154c59cfc193accf5b3",
     "0000000000000000000000000000000000000000000000000000000000000002",
     "08e2a8a0e65147d4bd6316030e16d19c85c97f0a9ca267122b96abbcea7e8fc8"),
    ("GOST2001-CryptoPro-A", False,
     "fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffd97",
     "fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffd94",
     "00000000000000000000000000000000000000000000000000000000000000a6",
     "ffffffffffffffffffffffffffffffff6c611070995ad10045841b09b761b893",
     "0000000000000000000000000000000000000000000000000000000000000001",
     "8d91e471e0989cda27df505a453f2b7635294f2ddf23e3b122acc99c9e9f1e14"),
    ("GOST2001-CryptoPro-B", False,
     "8000000000000000000000000000000000000000000000000000000000000c99",
     "8000000000000000000000000000000000000000000000000000000000000c96",
     "3e1af419a269a5f866a7d3c25c3df80ae979259373ff2b182f49d4ce7e1bbc8b",
     "800000000000000000000000000000015f700cfff1a624e5e497161bcc8a198f",
     "0000000000000000000000000000000000000000000000000000000000000001",
     "3fa8124359f96680b83d1c3eb2c070e5c545c9858d03ecfb744bf8d717717efc"),
    ("GOST2001-CryptoPro-C", False,
     "9b9f605f5a858107ab1ec85e6b41c8aacf846e86789051d37998f7b9022d759b",
     "9b9f605f5a858107ab1ec85e6b41c8aacf846e86789051d37998f7b9022d7598",
     "000000000000000000000000000000000000000000000000000000000000805a",
     "9b9f605f5a858107ab1ec85e6b41c8aa582ca3511eddfb74f02f3a6598980bb9",
     "0000000000000000000000000000000000000000000000000000000000000000",
     "41ece55743711a8c3cbf3783cd08c0ee4d4dc440d4641a8f366e550dfdb3bb67"),
    ("GOST2012-256-A", False,
     "fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffd97",
     "c2173f1513981673af4892c23035a27ce25e2013bf95aa33b22c656f277e7335",
     "295f9bae7428ed9ccc20e7c359a9d41a22fccd9108e17bf7ba9337a6f8ae9513",
     "400000000000000000000000000000000fd8cddfc87b6635c115af556c360c67",
     "91e38443a5e82c0d880923425712b2bb658b9196932e02c78b2582fe742daa28",
     "32879423ab1a0375895786c4bb46e9565fde0b5344766740af268adb32322e5c"),
    ("GOST2012-512-test", False,
     "4531acd1fe0023c7550d267b6b2fee80922b14b2ffb90f04d4eb7c09b5d2d15d"
     "f1d852741af4704a0458047e80e4546d35b8336fac224dd81664bbf528be6373",
     "0000000000000000000000000000000000000000000000000000000000000007",
     "1cff0806a31116da29d8cfa54e57eb748bc5f377e49400fdd788b649eca1ac4"
     "361834013b2ad7322480a89ca58e0cf74bc9e540c2add6897fad0a3084f302adc",
     "4531acd1fe0023c7550d267b6b2fee80922b14b2ffb90f04d4eb7c09b5d2d15d"
     "a82f2d7ecb1dbac719905c5eecc423f1d86e25edbe23c595d644aaf187e6e6df",
     "24d19cc64572ee30f396bf6ebbfd7a6c5213b3b3d7057cc825f91093a68cd762"
     "fd60611262cd838dc6b60aa7eee804e28bc849977fac33b4b530f1b120248a9a",
     "2bb312a43bd2ce6e0d020613c857acddcfbf061e91e5f2c3f32447c259f39b2"
     "c83ab156d77f1496bf7eb3351e1ee4e43dc1a18b91b24640b6dbb92cb1add371e"),
    ("GOST2012-512-tc26-A", False,
     "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"
     "fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffdc7",
     "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"
     "fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffdc4",
     "e8c2505dedfc86ddc1bd0b2b6667f1da34b82574761cb0e879bd081cfd0b6265"
     "ee3cb090f30d27614cb4574010da90dd862ef9d4ebee4761503190785a71c760",
     "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"
     "27e69532f48d89116ff22b8d4e0560609b4b38abfad2b85dcacdb1411f10b275",
     "0000000000000000000000000000000000000000000000000000000000000000"
     "0000000000000000000000000000000000000000000000000000000000000003",
     "7503cfe87a836ae3a61b8816e25450e6ce5e1c93acf1abc1778064fdcbefa921"
     "df1626be4fd036e93d75e6a50e3a41e98028fe5fc235f5b889a589cb5215f2a4"),
    ("GOST2012-512-tc26-B", False,
     "8000000000000000000000000000000000000000000000000000000000000000"
     "000000000000000000000000000000000000000000000000000000000000006f",
     "8000000000000000000000000000000000000000000000000000000000000000"
     "000000000000000000000000000000000000000000000000000000000000006c",
     "687d1b459dc841457e3e06cf6f5e2517b97c7d614af138bcbf85dc806c4b289f"
     "3e965d2db1416d217f8b276fad1ab69c50f78bee1fa3106efb8ccbc7c5140116",
     "8000000000000000000000000000000000000000000000000000000000000001"
     "49a1ec142565a545acfdb77bd9d40cfa8b996712101bea0ec6346c54374f25bd",
     "0000000000000000000000000000000000000000000000000000000000000000"
     "0000000000000000000000000000000000000000000000000000000000000002",
     "1a8f7eda389b094c2c071e3647a8940f3c123b697578c213be6dd9e6c8ec7335"
     "dcb228fd1edf4a39152cbcaaf8c0398828041055f94ceeec7e21340780fe41bd"),
    ("GOST2012-512-tc26-C", False,
     "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"
     "fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffdc7",
     "dc9203e514a721875485a529d2c722fb187bc8980eb866644de41c68e1430645"
     "46e861c0e2c9edd92ade71f46fcf50ff2ad97f951fda9f2a2eb6546f39689bd3",
     "b4c4ee28cebc6c2c8ac12952cf37f16ac7efb6a9f69f4b57ffda2e4f0de5ade0"
     "38cbc2fff719d2c18de0284b8bfef3b52b8cc7a5f5bf0a3c8d2319a5312557e1",
     "3fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"
     "c98cdba46506ab004c33a9ff5147502cc8eda9e7a769a12694623cef47f023ed",
     "e2e31edfc23de7bdebe241ce593ef5de2295b7a9cbaef021d385f7074cea043a"
     "a27272a7ae602bf2a7b9033db9ed3610c6fb85487eae97aac5bc7928c1950148",
     "f5ce40d95b5eb899abbccff5911cb8577939804d6527378b8c108c3d2090ff9be"
     "18e2d33e3021ed2ef32d85822423b6304f726aa854bae07d0396e9a9addc40f"),
    ("secp256k1", False,
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFC2F",
     "0000000000000000000000000000000000000000000000000000000000000000",
     "0000000000000000000000000000000000000000000000000000000000000007",
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEBAAEDCE6AF48A03BBFD25E8CD0364141",
     "79BE667EF9DCBBAC55A06295CE870B07029BFCDB2DCE28D959F2815B16F81798",
     "483ADA7726A3C4655DA4FBFC0E1108A8FD17B448A68554199C47D08FFB10D4B8"),
    ("sm2p256v1", False,
     "fffffffeffffffffffffffffffffffffffffffff00000000ffffffffffffffff",
     "fffffffeffffffffffffffffffffffffffffffff00000000fffffffffffffffc",
     "28e9fa9e9d9f5e344d5a9e4bcf6509a7f39789f515ab8f92ddbcbd414d940e93",
     "fffffffeffffffffffffffffffffffff7203df6b21c6052b53bbf40939d54123",
     "32c4ae2c1f1981195f9904466a39c9948fe30bbff2660be1715a4589334c74c7",
     "bc3736a2f4f6779c59bdcee36b692153d0a9877cc62a474002df32e52139f0a0"),
]

# Other names of the curves: OIDs and the names of other standards, as libgcrypt accepts them.
_CURVE_ALIASES = {
    "1.3.6.1.4.1.11591.15.1": "Ed25519",
    "1.3.101.112": "Ed25519",
    "1.3.6.1.4.1.3029.1.5.1": "Curve25519",
    "1.3.101.110": "Curve25519",
    "X25519": "Curve25519",
    "1.3.101.113": "Ed448",
    "1.3.101.111": "X448",
    "1.2.840.10045.3.1.1": "NIST P-192",
    "prime192v1": "NIST P-192",
    "secp192r1": "NIST P-192",
    "nistp192": "NIST P-192",
    "secp224r1": "NIST P-224",
    "1.3.132.0.33": "NIST P-224",
    "nistp224": "NIST P-224",
    "1.2.840.10045.3.1.7": "NIST P-256",
    "prime256v1": "NIST P-256",
    "secp256r1": "NIST P-256",
    "nistp256": "NIST P-256",
    "secp384r1": "NIST P-384",
    "1.3.132.0.34": "NIST P-384",
    "nistp384": "NIST P-384",
    "secp521r1": "NIST P-521",
    "1.3.132.0.35": "NIST P-521",
    "nistp521": "NIST P-521",
    "1.3.36.3.3.2.8.1.1.1": "brainpoolP160r1",
    "1.3.36.3.3.2.8.1.1.3": "brainpoolP192r1",
    "1.3.36.3.3.2.8.1.1.5": "brainpoolP224r1",
    "1.3.36.3.3.2.8.1.1.7": "brainpoolP256r1",
    "1.3.36.3.3.2.8.1.1.9": "brainpoolP320r1",
    "1.3.36.3.3.2.8.1.1.11": "brainpoolP384r1",
    "1.3.36.3.3.2.8.1.1.13": "brainpoolP512r1",
    "1.2.643.2.2.35.0": "GOST2001-test",
    "1.2.643.2.2.35.1": "GOST2001-CryptoPro-A",
    "1.2.643.2.2.35.2": "GOST2001-CryptoPro-B",
    "1.2.643.2.2.35.3": "GOST2001-CryptoPro-C",
    "GOST2001-CryptoPro-XchA": "GOST2001-CryptoPro-A",
    "GOST2001-CryptoPro-XchB": "GOST2001-CryptoPro-C",
    "1.2.643.2.2.36.0": "GOST2001-CryptoPro-A",
    "1.2.643.2.2.36.1": "GOST2001-CryptoPro-C",
    "1.2.643.7.1.2.1.1.1": "GOST2012-256-tc26-A",
    "1.2.643.7.1.2.1.1.2": "GOST2001-CryptoPro-A",
    "GOST2012-256-tc26-B": "GOST2001-CryptoPro-A",
    "1.2.643.7.1.2.1.1.3": "GOST2001-CryptoPro-B",
    "GOST2012-256-tc26-C": "GOST2001-CryptoPro-B",
    "1.2.643.7.1.2.1.1.4": "GOST2001-CryptoPro-C",
    "GOST2012-256-tc26-D": "GOST2001-CryptoPro-C",
    "GOST2012-test": "GOST2012-512-test",
    "1.2.643.7.1.2.1.2.0": "GOST2012-512-test",
    "GOST2012-tc26-A": "GOST2012-512-tc26-A",
    "GOST2012-tc26-B": "GOST2012-512-tc26-B",
    "1.2.643.7.1.2.1.2.1": "GOST2012-512-tc26-A",
    "1.2.643.7.1.2.1.2.2": "GOST2012-512-tc26-B",
    "1.2.643.7.1.2.1.2.3": "GOST2012-512-tc26-C",
    "1.3.132.0.10": "secp256k1",
    "1.2.156.10197.1.301": "sm2p256v1",
}


def _magnitude(hexadecimal: str) -> bytes:
    """An integer's magnitude, big-endian, without leading zeros (zero is no octets at all)."""
    value = abs(int(hexadecimal, 16))
    return value.to_bytes((value.bit_length() + 7) // 8, "big")


# The curves of other forms than y^2 = x^3 + ax + b. Before libgcrypt uncompresses a point it
# reads the key's point as the curve's form has it: a Montgomery point is at most this many
# octets, and no Edwards point begins with 0x02 or 0x03 as it needs to.
_MONTGOMERY_OCTETS = {"Curve25519": 32, "X448": 56}
_EDWARDS = ("Ed25519", "Ed448")


class _Curve:
    __slots__ = ("name", "ed25519", "compressed_limit", "p", "a", "b", "g", "n")

    def __init__(self, name: str, ed25519: bool, *hexadecimal: str) -> None:
        p, a, b, n, gx, gy = hexadecimal
        self.name, self.ed25519 = name, ed25519
        # The longest compressed point libgcrypt reads on the curve, where not unlimited.
        self.compressed_limit = 0 if name in _EDWARDS else _MONTGOMERY_OCTETS.get(name)
        self.p, self.a, self.b, self.n = map(_magnitude, (p, a, b, n))
        self.g = _magnitude("04" + gx + gy)


_CURVES: dict[bytes, _Curve] = {}


def _curve(name: bytes) -> _Curve:
    if not _CURVES:
        for row in _CURVE_TABLE:
            _CURVES[row[0].encode()] = _Curve(*row)
        for other, ours in _CURVE_ALIASES.items():
            # An alias of a name no curve has (libgcrypt lists one) names no curve.
            if ours.encode() in _CURVES:
                _CURVES[other.encode()] = _CURVES[ours.encode()]
    curve = _CURVES.get(name)
    if curve is None:
        raise ValueError(f"unknown curve {_shown(name)}")
    return curve


# The flags libgcrypt knows (all but "igninvflag", which lets it pass the unknown ones before it),
# with the encoding each sets where it sets one; "only where none is set yet" marks those that are
# refused after another has set one. Only "param", "eddsa" and "djb-tweak" change a keygrip.
_PARAM, _EDDSA, _DJB_TWEAK = 1, 2, 4
_FLAGS = {
    b"pss": (0, True), b"raw": (0, True), b"oaep": (0, True), b"pkcs1": (0, True),
    b"pkcs1-raw": (0, True), b"sm2": (0, False), b"gost": (0, False),
    b"eddsa": (_EDDSA | _DJB_TWEAK, False), b"djb-tweak": (_DJB_TWEAK, False),
    b"param": (_PARAM, None), b"comp": (0, None), b"nocomp": (0, None), b"rfc6979": (0, None),
    b"noparam": (0, None), b"prehash": (0, None), b"use-x931": (0, None),
    b"no-keytest": (0, None), b"no-blinding": (0, None), b"use-fips186": (0, None),
    b"use-fips186-2": (0, None), b"transient-key": (0, None),
}  # name: (flags, sets an encoding: True only where none is set yet, False always, None not)


def _flags(flags_list: Tree) -> int:
    """The flags of a `(flags ...)` list, read last first as libgcrypt reads them."""
    flags, encoding_set, ignore_unknown, unknown = 0, False, False, None
    for item in reversed(flags_list[1:]):
        if not isinstance(item, bytes):
            continue  # a list among the flags is passed over
        known = _FLAGS.get(item)
        if item == b"igninvflag":
            ignore_unknown = True
        elif known is None or (known[1] is True and encoding_set):
            if not ignore_unknown:
                unknown = item
        else:
            flags |= known[0]
            encoding_set = encoding_set or known[1] is not None
    if unknown is not None:
        raise ValueError(f"unknown or conflicting flag {_shown(unknown)}")
    return flags


def _shown(name: bytes) -> str:
    return repr(name.decode("utf-8", "backslashreplace"))


def _libgcrypt_view(key: SExpLike) -> Tree:
    """`key` as libgcrypt holds it once read: lists of octet strings, where a display hint is an
    octet string of its own before its data (an empty hint is no octet string at all), and
    text is UTF-8. Built with a heap stack; what is not an S-expression raises TypeError."""
    from ._tarnel import Atom

    def atoms(item: object) -> list[bytes]:
        if isinstance(item, bytes):
            return [item]
        if isinstance(item, Atom):
            return [item.hint, item.data] if item.hint else [item.data]
        if isinstance(item, str):
            return [item.encode()]
        if isinstance(item, (bytearray, memoryview)):
            return [bytes(item)]
        raise TypeError(f"expected bytes, str, or Atom, and got {type(item).__name__}")

    if not isinstance(key, (list, tuple)):
        return atoms(key)
    root: Tree = []
    stack = [(iter(key), root)]
    while stack:
        items, out = stack[-1]
        for item in items:
            if isinstance(item, (list, tuple)):
                inner: Tree = []
                out.append(inner)
                stack.append((iter(item), inner))
                if len(stack) > 10000:
                    raise ValueError("a key nested deeper than 10000 lists")
                break
            out.extend(atoms(item))
        else:
            stack.pop()
    return root


def _element(lst: Tree, index: int) -> Optional[bytes]:
    """Element `index` of a list where it is an octet string (libgcrypt's gcry_sexp_nth_data)."""
    item = lst[index] if index < len(lst) else None
    return item if isinstance(item, bytes) else None


def _string(lst: Optional[Tree], index: int) -> Optional[bytes]:
    """As `_element`, but not empty, and up to its first NUL (gcry_sexp_nth_string, as C)."""
    data = _element(lst, index) if lst is not None else None
    return data.split(b"\0", 1)[0] if data else None


def _algorithm(found: Tree, kind: bytes) -> tuple[Tree, bytes]:
    """The parameter list of a key list (its second element, an octet string making a list of
    its own as gcry_sexp_cadr makes it), and the algorithm it names, lower case."""
    if len(found) < 2:
        raise ValueError(f"the {kind.decode()} list holds no algorithm")
    params = found[1] if isinstance(found[1], list) else [found[1]]
    name = _string(params, 0)
    if name is None:
        raise ValueError(f"the {kind.decode()} list names no algorithm")
    return params, name.lower()


def _parameter(params: Tree, name: bytes, algorithm: str) -> bytes:
    found = find(params, name)
    value = _element(found, 1) if found is not None else None
    if value is None:
        raise ValueError(f"the {algorithm} key has no {name.decode()} parameter")
    return value


def _digest_parameters(digest: hashlib._Hash, params: Tree, names: bytes, algorithm: str) -> None:
    for letter in names:
        value = _parameter(params, bytes([letter]), algorithm)
        digest.update(b"(1:%c%d:%s)" % (letter, len(value), value))


def _grip_rsa(digest: hashlib._Hash, params: Tree) -> None:
    digest.update(_parameter(params, b"n", "RSA"))


def _grip_dsa(digest: hashlib._Hash, params: Tree) -> None:
    _digest_parameters(digest, params, b"pqgy", "DSA")


def _grip_elg(digest: hashlib._Hash, params: Tree) -> None:
    _digest_parameters(digest, params, b"pgy", "Elgamal")


def _grip_ecc(digest: hashlib._Hash, params: Tree) -> None:
    flags_list = find(params, b"flags")
    flags = _flags(flags_list) if flags_list is not None else 0
    values: list[Optional[bytes]] = [None] * 5  # p, a, b, g, n
    if flags & _PARAM:
        for i, letter in enumerate(b"pabgn"):
            found = find(params, bytes([letter]))
            if found is not None:
                value = _element(found, 1)
                if value is None:
                    raise ValueError(f"the ECC key's {chr(letter)} is not an octet string")
                values[i] = value.lstrip(b"\0")
    q_list = find(params, b"q")
    q = _element(q_list, 1) if q_list is not None else None
    if not q:
        raise ValueError("the ECC key has no q parameter")
    curve_name = _string(find(params, b"curve"), 1)
    if curve_name is not None:
        curve = _curve(curve_name)
        values = [curve.p, curve.a, curve.b, curve.g, curve.n]
        ed25519, limit = curve.ed25519, curve.compressed_limit
    else:
        ed25519, limit = bool(flags & _EDDSA), None
    p, a, b, g, n = values
    if p is None or a is None or b is None or g is None or n is None:
        raise ValueError("the ECC key names no curve and does not give all of p, a, b, g and n")
    if flags & _EDDSA and ed25519:
        q = _eddsa_compact(q, int.from_bytes(p, "big").bit_length())
    elif flags & _DJB_TWEAK:
        if len(q) > 1 and len(q) % 2 and q[0] == 0x40:
            q = q[1:]
    elif len(q) > 1 and q[0] in (2, 3):
        if limit is not None and len(q) > limit:
            raise ValueError("a compressed point that libgcrypt cannot read on this curve")
        if curve_name is None and not _readable_point(g, p):
            raise ValueError("a compressed point on a curve whose g libgcrypt cannot read")
        q = _uncompressed(q, p, a, b)
    for letter, value in zip(b"pabgnq", (p, a, b, g, n, q)):
        digest.update(b"(1:%c%d:%s)" % (letter, len(value), value))


def _eddsa_compact(q: bytes, pbits: int) -> bytes:
    """Ed25519's point `q` as its EdDSA encoding: a 0x40 prefix dropped, an uncompressed point
    (0x04, x, y) turned into y little-endian with x's low bit on top, the rest as it is."""
    if len(q) <= 1 or len(q) % 2 == 0:
        return q
    if q[0] == 0x40:
        return q[1:]
    if q[0] != 0x04:
        return q
    half = (len(q) - 1) // 2
    x = int.from_bytes(q[1 : 1 + half], "big")
    y = int.from_bytes(q[1 + half :], "big")
    # libgcrypt writes y in whole limbs of eight octets, padded to the length of an encoding of
    # pbits + 1 bits (a coordinate and the sign bit).
    width = max(8 * ((y.bit_length() + 63) // 64), pbits // 8 + 1)
    encoded = bytearray(y.to_bytes(width, "little"))
    if x & 1:
        encoded[-1] |= 0x80
    return bytes(encoded)


def _readable_point(point: bytes, p: bytes) -> bool:
    """Whether libgcrypt reads `point` as a point of a curve given by its parameters: compressed
    (0x02 or 0x03) where it can uncompress on that prime, or uncompressed (0x04) in two halves."""
    if point[:1] in (b"\x02", b"\x03"):
        return bool((int.from_bytes(p, "big") >> 1) & 1)
    return point[:1] == b"\x04" and (len(point) - 1) % 2 == 0


def _uncompressed(q: bytes, p_octets: bytes, a_octets: bytes, b_octets: bytes) -> bytes:
    """A compressed point (0x02 or 0x03, then x) as (0x04, x, y), y found as libgcrypt finds it:
    the square root of x^3 + ax + b for a prime p = 3 (mod 4), of x's parity given by the prefix
    (whatever the curve's form, and whether or not x is on it)."""
    p, a, b = (int.from_bytes(v, "big") for v in (p_octets, a_octets, b_octets))
    if not (p >> 1) & 1:
        raise ValueError("a compressed point on a curve whose points libgcrypt cannot uncompress")
    x = int.from_bytes(q[1:], "big")
    y = pow((pow(x, 3, p) + a * x % p + b) % p, (p >> 2) + 1, p)
    if (q[0] == 0x03) != (y & 1):
        y = p - y
    width = (p.bit_length() + 7) // 8
    if x.bit_length() > 8 * width:
        raise ValueError("a compressed point whose x is longer than the curve's prime")
    return b"\x04" + x.to_bytes(width, "big") + y.to_bytes(width, "big")


# The algorithms, by every name libgcrypt knows them by (compared without regard to case).
_GRIPS: dict[bytes, Callable[[hashlib._Hash, Tree], None]] = {
    b"rsa": _grip_rsa, b"openpgp-rsa": _grip_rsa, b"oid.1.2.840.113549.1.1.1": _grip_rsa,
    b"dsa": _grip_dsa, b"openpgp-dsa": _grip_dsa,
    b"elg": _grip_elg, b"openpgp-elg": _grip_elg, b"openpgp-elg-sig": _grip_elg,
    b"ecc": _grip_ecc, b"ecdsa": _grip_ecc, b"ecdh": _grip_ecc, b"eddsa": _grip_ecc,
    b"gost": _grip_ecc, b"sm2": _grip_ecc,
}


def _key_list(tree: Tree, kinds: tuple[bytes, ...]) -> tuple[Tree, bytes]:
    for kind in kinds:
        found = find(tree, kind)
        if found is not None:
            return found, kind
    names = ", ".join(kind.decode() for kind in kinds)
    raise ValueError(f"not a key: it has no list named {names}")


def keygrip(key: SExpLike) -> bytes:
    """Returns the keygrip of a key: the 20 octets GnuPG and libgcrypt name it by.

    `key` is a private key as `read_key` returns it (protected or not, or a
    shadowed one) or a public key; the keygrip, in hexadecimal, is the name of
    the key's file in `private-keys-v1.d`. RSA, DSA, Elgamal and ECC keys are
    taken, on every curve libgcrypt knows by any of its names. A key of another
    algorithm or on another curve raises `ValueError` naming it, as does one
    lacking a parameter its keygrip needs."""
    tree = _libgcrypt_view(key)
    found, kind = _key_list(
        tree, (b"public-key", b"private-key", b"protected-private-key", b"shadowed-private-key")
    )
    params, name = _algorithm(found, kind)
    grip = _GRIPS.get(name)
    if grip is None:
        raise ValueError(f"unknown public-key algorithm {_shown(name)}")
    digest = hashlib.sha1()
    grip(digest, params)
    return digest.digest()


def _standard_integer(octets: bytes) -> bytes:
    """An unsigned integer as libgcrypt's standard (signed) format writes it: leading zeros
    dropped, then one zero put back before a high bit; zero is no octets at all."""
    octets = octets.lstrip(b"\0")
    return b"\0" + octets if octets and octets[0] & 0x80 else octets


# For each algorithm gpg-agent reads: its name in the public key, the parameters it takes
# (public ones first, "?" after an optional one) and how many are public.
_PUBLIC = {
    b"rsa": (b"rsa", ("n", "e", "d?", "p?", "q?", "u?"), 2),
    b"elg": (b"elg", ("p", "g", "y", "x?"), 3),
    b"dsa": (b"dsa", ("p", "q", "g", "y", "x?"), 4),
    b"ecc": (b"ecc", ("q", "d?"), 1),
    b"ecdsa": (b"ecc", ("q", "d?"), 1),
}


def public_key(key: SExpLike) -> SExp:
    """Returns the public key of a private key, as gpg-agent's READKEY gives it.

    `key` is a private key as `read_key` returns it, protected or not, or a
    shadowed one. The result is `(public-key (<algorithm> ...))`: for ECC keys
    the key's `curve` and `flags` lists as they are, then the public parameters,
    each as libgcrypt writes an integer, then the key's `uri` and `comment`
    where it has them. RSA, DSA, Elgamal and ECC keys are taken; another
    algorithm, or a missing parameter, raises `ValueError`."""
    tree = _libgcrypt_view(key)
    found, kind = _key_list(tree, (b"shadowed-private-key", b"protected-private-key", b"private-key"))
    params, name = _algorithm(found, kind)
    known = _PUBLIC.get(name)
    if known is None:
        raise ValueError(f"unknown public-key algorithm {_shown(name)}")
    algorithm, parameters, public_count = known
    values: list[SExp] = []
    for parameter in parameters:
        letter = parameter[0].encode()
        found_parameter = find(params, letter)
        if found_parameter is None:
            if parameter.endswith("?"):
                continue
            raise ValueError(f"the {algorithm.decode()} key has no {letter.decode()} parameter")
        value = _element(found_parameter, 1)
        if value is None:
            raise ValueError(f"the {algorithm.decode()} key's {letter.decode()} is not an integer")
        values.append([letter, _standard_integer(value)])
    inner: list[SExp] = [algorithm]
    if algorithm == b"ecc":
        inner += [part for part in (find(params, b"curve"), find(params, b"flags")) if part]
    inner += values[:public_count]
    result: list[SExp] = [b"public-key", inner]
    for extra in (b"uri", b"comment"):
        found_extra = find(tree, extra)
        value = _element(found_extra, 1) if found_extra is not None else None
        if value is not None:
            result.append([extra, value])
    return result
