"""Writes the npz fuzzer's seeds: one 4-by-4 P as save_npz writes it (csr, csc and coo,
deflated and stored, int64 indices, float32 values), and a few archives broken the ways
files break (cut short, a flipped byte in a member, a member named twice).
Run with Debian's python3-scipy from this directory; the files are committed."""
import io
import zipfile

import numpy as np
import scipy.sparse

dense = np.array([[0, 2, 1, 0], [2, 0, 0, 1], [1, 0, 0, 3], [0, 1, 3, 0]], dtype=float)
p = scipy.sparse.csr_matrix(dense / dense.sum())


def saved(matrix, compressed):
    out = io.BytesIO()
    scipy.sparse.save_npz(out, matrix, compressed=compressed)
    return out.getvalue()


seeds = {
    "csr_deflated.npz": saved(p, True),
    "csr_stored.npz": saved(p, False),
    "csc_deflated.npz": saved(p.tocsc(), True),
    "coo_stored.npz": saved(p.tocoo(), False),
    "coo_int64_float32.npz": saved(
        scipy.sparse.coo_matrix((p.tocoo().data.astype(np.float32),
                                 (p.tocoo().row.astype(np.int64), p.tocoo().col.astype(np.int64))),
                                shape=(4, 4)), False),
}
plain = seeds["coo_stored.npz"]
seeds["broken_cut_short.npz"] = plain[: len(plain) // 2]
flipped = bytearray(plain)
member = zipfile.ZipFile(io.BytesIO(plain)).getinfo("data.npy")
local = member.header_offset
data_end = local + 30 + int.from_bytes(plain[local + 26:local + 28], "little") + \
    int.from_bytes(plain[local + 28:local + 30], "little") + member.compress_size
flipped[data_end - 3] ^= 0x40  # a value's exponent: only the CRC-32 tells
seeds["broken_flipped_byte.npz"] = bytes(flipped)
twice = io.BytesIO()
with zipfile.ZipFile(twice, "w") as archive:
    with zipfile.ZipFile(io.BytesIO(plain)) as source:
        for name in source.namelist():
            archive.writestr(name, source.read(name))
        archive.writestr("format.npy", source.read("format.npy"))
seeds["broken_named_twice.npz"] = twice.getvalue()

for name, data in seeds.items():
    with open("corpus_npz/" + name, "wb") as out:
        out.write(data)
