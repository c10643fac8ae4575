#!/usr/bin/env python3
"""Writes the seed inputs of fuzz_replies and fuzz_text, and the derived
key-code files of fuzz_keyfile, into corpus/<target>/.

The real key-code files (corpus/fuzz_keyfile/small.tvx, vyr32.tvx,
vyr16d.tvx, large.tvx) were saved by `tarvex-cli read` from
`tarvex-panel-sim` panels (VYR8 2.10, VYR32 2.20, VYR16D 1.50, VYR 320 2.05);
this script only derives the odd ones from small.tvx.

A fuzz_replies input is: operation, settings, model, the operation's
parameters, then the line's script (see fake_line.cpp): for each frame the
program sends, a control byte (mode | source << 3 | timing << 5) and what
that mode and source take. Control 0x00 answers with the exact echo, the
script's next bytes as data and the right check; 0x08 fills the data with
one byte; 0x10 fills it with noise from a seed byte; 0x03 sends raw bytes
(a 16-bit count, then the bytes: real replies, echo and check included).

Run it again after changing the input format; the files are deterministic.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# Operation numbers and model indexes of fuzz_replies.cpp.
OPS = dict(read_small=0, read_large=1, write_small=2, write_large=3, identify_small=4, find_baud=5,
           identify_large=6, check=7, read_users=8, read_codes=9, read_keys=10, read_large_panel=11,
           read_from_panel=12, send_to_panel=13, check_then_read=14)
MODEL_INDEX = {0: 0, 6: 1, 23: 2, 24: 3, 25: 4, 26: 5, 27: 6, 28: 7, 29: 8, 30: 9}
ATTEMPTS_1 = 0x01
NO_BACKUP, BACKUP = b'\x00', b'\x01'  # a send's backup switch, after its code

MAPS = {  # codes, attr, names, key table, key data, key names: (address, length)
    1: dict(codes=(313, 144), attr=(463, 240), names=(5264, 384), ktable=(2235, 384), kdata=(1723, 512),
            knames=(5648, 256)),
    2: dict(codes=(436, 72), attr=(511, 240), names=(7088, 384), ktable=(2872, 384), kdata=(2360, 512),
            knames=(7472, 256)),
    3: dict(codes=(203, 144), attr=(278, 240), names=(6480, 384), ktable=(2204, 384), kdata=(1692, 512),
            knames=(7136, 256)),
}
MAP_OF = {23: 1, 24: 1, 25: 1, 26: 2, 27: 2, 28: 2, 29: 2, 30: 3}

LARGE_REGIONS = [(0xE5095C, 1200), (0xE1BA92, 17600), (0xE4CAA8, 1600), (0xE4C2D8, 2000), (0xE50E0C, 800),
                 (0xE4E5C7, 2000), (0xE1225A, 12000)]
LARGE_READ_ORDER = [0, 1, 4, 2, 5, 6, 3]
LARGE_WRITE_ORDER = [1, 2, 4, 0, 5, 6, 3]

PROBE = bytes([0x3C, 0xC3, 0x00, 0x00, 0x00, 0xFF])


def sum8(data):
    return sum(data) & 0xFF


def crc16_cms(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x8005) if crc & 0x8000 else (crc << 1)
            crc &= 0xFFFF
    return crc


def small_header(cmd, address, last):
    h = bytes([cmd, address & 0xFF, (address >> 8) & 0xFF, last & 0xFF, (last >> 8) & 0xFF])
    return h + bytes([sum8(h)])


def large_header(cmd, address, last):
    h = bytes([cmd | ((last >> 8) & 0xFF), last & 0xFF, (address >> 16) & 0xFF, (address >> 8) & 0xFF,
               address & 0xFF])
    return h + bytes([sum8(h)])


def blocks(length, size):
    off = 0
    while off < length:
        n = min(size, length - off)
        yield off, n
        off += n


def good(data):
    """Control 0x00: exact echo, these bytes as data, the right check."""
    return bytes([0x00]) + bytes(data)


def raw(reply):
    return bytes([0x03]) + struct.pack('<H', len(reply)) + bytes(reply)


def echo_only():
    return bytes([0x00])


def pad16(text):
    return text.encode('cp1252')[:16].ljust(16, b' ')


USER_NAMES = ['Installer', 'Giulia Conti', 'Sara Gallo', 'Reception', 'Warehouse shift', 'Marco Bianchi', '',
              'Luca Ferrari', 'Claire Dubois', 'Anna Rossi', 'Maintenance', 'Cleaning staff']
KEY_NAMES = ['Front door', 'Back door', 'Garage', 'Office', 'Caf\xe9 tag', 'Card 6']


def small_memory(model, main_code='1234'):
    """The blocks of one small panel as a {block name: bytes} map."""
    mem = {}
    attrs = bytearray()
    for u in range(24):
        a = bytearray([1 if u == 0 else 0, 0x3F if u < 12 else 0] + [u & 0x0F] * 8)
        attrs += a
    mem['attr'] = bytes(attrs)
    mem['names'] = b''.join(pad16(USER_NAMES[u] if u < len(USER_NAMES) else '') for u in range(24))
    per_byte = 23 <= model <= 25
    codes = bytearray()
    for u in range(24):
        code = main_code if u == 0 else ('%04d' % (1000 + 37 * u) if u < 12 else '')
        digits = (code + 'F' * 6)[:6]
        if per_byte:
            codes += bytes(int(c, 16) for c in digits)
        else:
            codes += bytes(int(digits[i:i + 2], 16) for i in range(0, 6, 2))
    length = MAPS[MAP_OF[model]]['codes'][1]
    mem['codes'] = bytes(codes).ljust(length, b'\xff')
    mem['kdata'] = bytes((i * 7 + 3) & 0xFF for i in range(512))
    table = bytearray()
    for i in range(128):
        table += bytes([0xC1 if i < 6 else 0x00, (i * 5) & 0xFF, i])
    mem['ktable'] = bytes(table)
    mem['knames'] = b''.join(pad16(KEY_NAMES[k] if k < len(KEY_NAMES) else '') for k in range(16))
    return mem


def small_read_script(model, names):
    m = MAPS[MAP_OF[model]]
    mem = small_memory(model)
    out = b''
    for name in names:
        data = mem[name]
        for off, n in blocks(m[name][1], 64):
            out += good(data[off:off + n])
    return out


def small_write_script(model):
    m = MAPS[MAP_OF[model]]
    count = sum(len(list(blocks(m[name][1], 64))) for name in ['codes', 'attr', 'names', 'kdata', 'ktable',
                                                                 'knames'])
    return echo_only() * count


def code_param(code):
    return bytes([len(code)]) + bytes(int(c) for c in code)


def small_identify_reply(model_name, version):
    return (model_name.encode().ljust(6, b' ') + b'\x00\x00' + version.encode().rjust(4, b' '))[:12]


def seeds_replies():
    s = {}
    op = OPS
    # Identification of small panels: well-formed replies, and one as the
    # raw bytes on the line (echo F0 00 00 0B 00 FB, data, sum).
    for name, model, version in [('VYR8', 24, '2.10'), ('VYR16D', 30, '1.50'), ('VYR8', 24, '2.05'),
                                 ('VYR32G', 27, '2.20'), ('VYR8WG', 29, '2.10')]:
        s['identify_small_%s_%s' % (name, version)] = bytes(
            [op['identify_small'], ATTEMPTS_1, 0]) + good(small_identify_reply(name, version))
    data = small_identify_reply('VYR8', '2.10')
    s['identify_small_raw'] = bytes([op['identify_small'], ATTEMPTS_1, 0]) + raw(
        small_header(0xF0, 0, 11) + data + bytes([sum8(data)]))

    # Identification of the large panel: the probe echoed, the version
    # block, its "2.xx" placeholder, a K1 unit, and the final 6-byte read.
    def large_version(text, k1=False):
        return text.encode().ljust(5, b'\x00') + b'\x00' * 10 + (b'K1' if k1 else b'  ')

    s['identify_large_205'] = bytes([op['identify_large'], ATTEMPTS_1, 0]) + echo_only() + good(
        large_version('2.05')) + good(b'2.05\x00\x00')
    s['identify_large_2xx'] = bytes([op['identify_large'], ATTEMPTS_1, 0]) + echo_only() + good(
        large_version('2.xx')) + good(b'2.07\x00') + good(b'2.07\x00\x00')
    s['identify_large_k1'] = bytes([op['identify_large'], ATTEMPTS_1, 0]) + echo_only() + good(
        large_version('2.05', k1=True))
    version = large_version('2.08')
    crc = crc16_cms(version)
    s['identify_large_raw'] = bytes([op['identify_large'], ATTEMPTS_1, 0]) + raw(PROBE) + raw(
        large_header(0xF8, 5523, 16) + version + bytes([crc & 0xFF, crc >> 8])) + good(b'2.08\x00\x00')
    # The baud search: silent at the first rates, then an echo.
    s['find_baud'] = bytes([op['find_baud'], ATTEMPTS_1, 0]) + bytes([0x04, 0x04, 0x04]) + echo_only()
    s['check_connection_small'] = bytes([op['check'], ATTEMPTS_1, 0]) + good(small_identify_reply('VYR8', '2.10'))
    s['check_connection_large'] = bytes([op['check'], ATTEMPTS_1, 0]) + bytes([0x04]) + echo_only() + good(
        large_version('2.05')) + good(b'2.05\x00\x00')

    # Range operations with the examples of real exchanges.
    def number(value):
        return bytes([0xFF]) + struct.pack('<H', value)

    s['read_small_one_byte'] = bytes([op['read_small'], ATTEMPTS_1, 3]) + number(0x0100) + number(0) + b'\x00' + raw(
        small_header(0xF0, 0x0100, 0) + b'\x5a\x5a')
    s['read_small_65'] = bytes([op['read_small'], ATTEMPTS_1, 3]) + number(0x1234) + number(64) + b'\x07' + bytes(
        [0x10, 0x42]) + good(b'\x99')
    # Large read of 1023 bytes at 0xE1BA92: header FB FE E1 BA 92 26.
    s['read_large_block'] = bytes([op['read_large'], ATTEMPTS_1, 1]) + number(1) + b'\x01\x03' + number(
        1022) + b'\x09' + bytes([0x10, 0x17])
    s['write_small_16'] = bytes([op['write_small'], ATTEMPTS_1, 3]) + number(0x1234) + number(15) + b'\x02' + echo_only()
    s['write_large_16'] = bytes([op['write_large'], ATTEMPTS_1, 1]) + number(1) + b'\x01\x02' + number(
        15) + b'\x04' + raw(large_header(0xA8, 0xE5095C, 15))

    # Read sequences and whole workflows of small panels.
    for model in (24, 26, 30):
        mi = MODEL_INDEX[model]
        s['read_users_%d' % model] = bytes([op['read_users'], ATTEMPTS_1, mi]) + small_read_script(
            model, ['attr', 'names'])
        s['read_codes_%d' % model] = bytes([op['read_codes'], ATTEMPTS_1, mi]) + code_param(
            '1234') + small_read_script(model, ['codes'])
        s['read_keys_%d' % model] = bytes([op['read_keys'], ATTEMPTS_1, mi]) + small_read_script(
            model, ['kdata', 'ktable', 'knames'])
        s['read_from_panel_%d' % model] = bytes([op['read_from_panel'], ATTEMPTS_1, mi]) + code_param(
            '1234') + small_read_script(model, ['attr', 'names', 'codes', 'kdata', 'ktable', 'knames'])
        s['send_to_panel_%d' % model] = bytes([op['send_to_panel'], ATTEMPTS_1, mi]) + code_param(
            '1234') + NO_BACKUP + small_read_script(model, ['attr', 'names', 'codes']) + small_write_script(model)
        s['send_to_panel_backup_%d' % model] = bytes([op['send_to_panel'], ATTEMPTS_1, mi]) + code_param(
            '1234') + BACKUP + small_read_script(model, ['attr', 'names', 'codes', 'kdata', 'ktable', 'knames']) + \
            small_write_script(model)
    name = {24: 'VYR8', 26: 'VYR32', 30: 'VYR16D'}
    for model in (24, 30):
        s['check_then_read_%d' % model] = bytes([op['check_then_read'], ATTEMPTS_1, 0]) + code_param(
            '1234') + good(small_identify_reply(name[model], '2.10')) + small_read_script(
                model, ['attr', 'names', 'codes', 'kdata', 'ktable', 'knames'])

    # The large panel: its seven blocks read with noise data, and written.
    large_read = b''
    for r in LARGE_READ_ORDER:
        for _ in blocks(LARGE_REGIONS[r][1], 1023):
            large_read += bytes([0x10, (r * 31 + len(large_read)) & 0xFF])
    large_blocks = sum(len(list(blocks(n, 1023))) for _, n in LARGE_REGIONS)
    s['read_large_panel'] = bytes([op['read_large_panel'], ATTEMPTS_1, 1]) + large_read
    s['read_from_panel_large'] = bytes([op['read_from_panel'], ATTEMPTS_1, 1]) + code_param('1234') + large_read
    s['send_to_panel_large'] = bytes([op['send_to_panel'], ATTEMPTS_1, 1]) + code_param(
        '1234') + NO_BACKUP + echo_only() * large_blocks
    s['send_to_panel_backup_large'] = bytes([op['send_to_panel'], ATTEMPTS_1, 1]) + code_param(
        '1234') + BACKUP + large_read + echo_only() * large_blocks
    s['check_then_read_large'] = bytes([op['check_then_read'], ATTEMPTS_1, 0]) + code_param('1234') + bytes(
        [0x04]) + echo_only() + good(large_version('2.05')) + good(b'2.05\x00\x00') + large_read
    return s


def seeds_text():
    s = {}

    def near(v):
        return bytes([0xFF, v])

    s['printable_model'] = bytes([0]) + near(0) + near(6) + small_identify_reply('VYR8', '2.10')
    s['printable_version'] = bytes([0]) + near(8) + near(4) + small_identify_reply('VYR16D', '1.50')
    s['printable_large'] = bytes([0]) + near(0) + near(5) + b'2.xx\x00' + b'\x00' * 10 + b'K1'
    s['pad'] = bytes([1, 0, 8, ord('F')]) + b'1234'
    for i, t in enumerate(['2.10', ' 2.05 ', '1.5', '2,10', '2.xx', '-0.5', '1e3', 'nan']):
        s['parse_version_%d' % i] = bytes([2]) + t.encode()
    s['format_version'] = bytes([3]) + struct.pack('<d', 2.1) + b'\x00'
    s['format_version_small'] = bytes([3]) + struct.pack('<I', 2105) + b'\x00\x00\x00\x00\x01'
    h = small_header(0xF0, 0x1234, 15)
    s['echo'] = bytes([4]) + h + h
    s['echo_case'] = bytes([4]) + b'abcDEF' + b'ABCdef'
    s['checks'] = bytes([5]) + struct.pack('<IH', 0xE1BA92, 1022) + b'123456789'
    s['short_string'] = bytes([6, 16]) + bytes([10]) + b'Front door' + b'\xff' * 6
    s['code_texts'] = bytes([7]) + bytes([1, 2, 3, 4, 15, 15]) + b'12f4'
    for i, t in enumerate(['site1.txt', 'my.files\\site1', '', 'a/b.c/d', 'C:backup.', 'x.tvx']):
        s['save_name_%d' % i] = bytes([8]) + t.encode()
    s['code_page'] = bytes([9]) + b'Caf\xe9 \x80\x81\x9f\x7f\x1b[2J'
    s['version_field'] = bytes([10]) + b'2.10'
    return s


def seeds_keyfile():
    folder = os.path.join(HERE, 'corpus', 'fuzz_keyfile')
    with open(os.path.join(folder, 'small.tvx'), 'rb') as f:
        small = f.read()
    s = {'empty.tvx': b'', 'odd_length.tvx': small[:-1], 'one_more.tvx': small + b'\x00'}
    # The same file with the large panel's model number in its header: the
    # data nibbles of image bytes 0 to 3 become 06 00 00 00.
    model6 = bytearray(small)
    for k, value in enumerate([6, 0, 0, 0]):
        model6[2 * k] = (model6[2 * k] & 0xF0) | (value & 0x0F)
        model6[2 * k + 1] = (value & 0xF0) | (model6[2 * k + 1] & 0x0F)
    s['small_length_model6.tvx'] = bytes(model6)
    return s


def write(target, seeds):
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), 'wb') as f:
            f.write(data)


if __name__ == '__main__':
    write('fuzz_replies', seeds_replies())
    write('fuzz_text', seeds_text())
    write('fuzz_keyfile', seeds_keyfile())
