"""Sets the MSI's package code and its creation and save times, which wixl
takes from the clock and a random number, to values derived from the sources:
python3 msi-summary.py FILE PACKAGE_CODE EPOCH.

The summary information is a small property set that wixl writes in one
piece; its values are overwritten in place with ones of the same size, and
anything else (a stream in pieces, an unexpected type) is an error.
"""
import struct
import sys
import uuid

FMTID_SUMMARY = uuid.UUID("F29F85E0-4FF9-1068-AB91-08002B27B3D9").bytes_le
PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM = 9, 12, 13
VT_LPSTR, VT_FILETIME = 30, 64


def main(path, package_code, epoch):
    data = bytearray(open(path, "rb").read())
    if data.count(FMTID_SUMMARY) != 1:
        sys.exit(f"{path}: no single summary information")
    start = data.find(FMTID_SUMMARY) - 28
    if data[start:start + 2] != b"\xfe\xff":
        sys.exit(f"{path}: the summary information is not in one piece")
    section = start + struct.unpack_from("<I", data, start + 44)[0]
    count = struct.unpack_from("<I", data, section + 4)[0]
    offsets = dict(struct.unpack_from("<II", data, section + 8 + 8 * i) for i in range(count))
    filetime = (epoch + 11644473600) * 10_000_000
    code = "{" + str(uuid.UUID(package_code)).upper() + "}"
    for pid in (PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM):
        at = section + offsets[pid]
        kind = struct.unpack_from("<I", data, at)[0]
        if pid == PID_REVNUMBER:
            size = struct.unpack_from("<I", data, at + 4)[0]
            if kind != VT_LPSTR or size != len(code) + 1:
                sys.exit(f"{path}: unexpected package code")
            data[at + 8:at + 8 + size] = code.encode("ascii") + b"\0"
        else:
            if kind != VT_FILETIME:
                sys.exit(f"{path}: unexpected time in the summary information")
            struct.pack_into("<Q", data, at + 4, filetime)
    open(path, "wb").write(data)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], int(sys.argv[3]))
