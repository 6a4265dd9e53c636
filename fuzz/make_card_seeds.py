#!/usr/bin/env python3
"""Seed corpora of the card-answer fuzz targets, made from what the EMV card
simulator answers to a dialogue (card_sim --record), wrapped the way each
target reads its input.

    fuzz/make_card_seeds.py build/bin/card_sim
"""
import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.abspath(__file__))
SCENARIO = os.path.join(ROOT, '..', 'tools', 'cardsim', 'scenarios', 'chip_card.scn')


def record(card_sim, scenario_text, apdus):
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, 'card.scn')
        with open(path, 'w') as f:
            f.write(scenario_text)
        out = os.path.join(d, 'rec')
        os.mkdir(out)
        subprocess.run([card_sim, '--scenario', path, '--record', out], input='\n'.join(apdus) + '\n',
                       text=True, check=True, stdout=subprocess.DEVNULL)
        return [open(os.path.join(out, f), 'rb').read() for f in sorted(os.listdir(out))]


def lrc(b):
    x = 0
    for c in b:
        x ^= c
    return x


def blocks(nad, data, ciphered=False):
    out = b''
    chunks = [data[i:i + 254] for i in range(0, len(data), 254)] or [b'']
    for i, c in enumerate(chunks):
        pcb = (1 if i + 1 < len(chunks) else 0) | (2 if ciphered and i == 0 else 0)
        b = bytes([nad, pcb, len(c)]) + c
        out += b + bytes([lrc(b)])
    return out


def el(tag, value):
    n = len(value)
    length = bytes([n]) if n < 0x80 else (bytes([0x81, n]) if n < 256 else bytes([0x82, n >> 8, n & 255]))
    return bytes.fromhex(tag) + length + value


def answer30(flags, card, more=b''):
    e2 = (el('DF828000', b'\x00\x00') + el('DF838102', flags.to_bytes(4, 'big')) + el('DF85810A', bytes(4)) +
          el('DF828100', b'\x00') + el('DF808400', card) + more)
    return el('E0', el('C3', b'\x28\x01') + el('E1', el('C4', b'\x00\x04') + el('E2', e2)))


def write(target, name, data):
    d = os.path.join(ROOT, 'corpus', target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), 'wb') as f:
        f.write(data)


def main():
    card_sim = sys.argv[1]
    scenario = open(SCENARIO).read()
    a80 = record(card_sim, scenario, [
        '00A4040007A000000042101000', '80A8000002830000', '00B2010C00', '00B2011400', '00B2021400',
        '80CA9F1700', '80AE80000400000000', '00880000020102', '80CA9F1300'])
    a77 = record(card_sim, scenario + 'gpo 77\nac 77\nproximity 9F2401AA\n', [
        '00A4040007A000000042101000', '80A8000002830000', '80AE00000400000000', '00880000020102'])
    select, gpo80, rec1, rec2, rec3, pin_try, ac80, _, get9f13 = a80
    _, gpo77, ac77, auth77 = a77

    # Block receiver: options byte, piece size byte, then the line bytes.
    write('ruda_receiver_fuzz', 'select_answer', b'\x00\x07' + blocks(0x11, select))
    write('ruda_receiver_fuzz', 'record_with_marker', b'\x01\x03' + blocks(0x11, rec2))
    write('ruda_receiver_fuzz', 'chained_300', b'\x00\x3f' + blocks(0x01, bytes(range(256)) + bytes(42) + b'\x90\x00'))
    write('ruda_receiver_fuzz', 'ff7c_prefix', b'\x00\x05' + blocks(0x11, b'\xff\x7c\x02\xaa\xbb' + gpo80))
    write('ruda_receiver_fuzz', 'ff7c_prefix_too_long', b'\x00\x05' + blocks(0x11, b'\xff\x7c\x30\x90\x00'))
    bad = bytearray(blocks(0x01, b'\x9f\x13'))
    bad[-1] ^= 1
    write('ruda_receiver_fuzz', 'wrong_lrc', b'\x00\x01' + bytes(bad))
    full = bytes([1, 1, 254]) + bytes(254)
    write('ruda_receiver_fuzz', 'endless_chain_small_room', b'\x02\x3f' + (full + bytes([lrc(full)])) * 3)
    write('ruda_receiver_fuzz', 'ciphered_with_marker', b'\x01\x10' + blocks(0x11, bytes(range(16)), True))
    write('ruda_receiver_fuzz', 'late_piece', b'\x04\x01' + blocks(0x01, b'\xee\x90\x00'))

    # Analysis: step choice, asked byte, then answers split by A5 5A.
    sep = b'\xa5\x5a'
    write('ruda_analyse_fuzz', 'select', b'\x00\x01' + select)
    write('ruda_analyse_fuzz', 'gpo_80', b'\x01\x00' + gpo80)
    write('ruda_analyse_fuzz', 'gpo_77', b'\x01\x00' + gpo77)
    write('ruda_analyse_fuzz', 'three_records', b'\x02\x00' + sep.join([rec1, rec2, rec3]))
    write('ruda_analyse_fuzz', 'records_pending_service', b'\x12\x04' + sep.join([rec1, rec2]))
    write('ruda_analyse_fuzz', 'card_removed', b'\x02\x00' + sep.join([rec1, b'\x9f\x23']))
    write('ruda_analyse_fuzz', 'pin_try', b'\x03\x00' + pin_try)
    write('ruda_analyse_fuzz', 'generate_ac_80', b'\x04\x00' + ac80)
    write('ruda_analyse_fuzz', 'generate_ac_77', b'\x04\x00' + ac77)
    write('ruda_analyse_fuzz', 'internal_auth_77', b'\x08\x00' + auth77)
    write('ruda_analyse_fuzz', 'get_data_9f13', b'\x09\x00' + get9f13)
    write('ruda_analyse_fuzz', 'select_given', b'\x0b\x00' + select)

    # Prevalidation extraction: operation and room byte, then a template value.
    crypto = bytes.fromhex('9F2701809F360200179F260811223344556677889F100706010A03A00000')
    cand = bytes.fromhex('9F0607A0000000421010500243428701015F2D0466726E65' '9F0607A0000000041010' '50064D4153544552')
    write('rudal2_extract_fuzz', 'cryptogram', bytes([0x00 | (10 << 2)]) + crypto)
    write('rudal2_extract_fuzz', 'two_candidates', bytes([0x01 | (10 << 2)]) + cand)
    write('rudal2_extract_fuzz', 'record_and_ff7f', bytes([0x03 | (2 << 2)]) + rec2[2:-2] +
          bytes.fromhex('FF7F04DFDF1001AA'))

    # Card-data loader: services byte, then an answer of operation 30.
    write('doran_emv_fuzz', 'records', b'\x02' + answer30(0x0C, rec1 + rec2 + rec3))
    write('doran_emv_fuzz', 'generate_ac_80', b'\x10' + answer30(0x400, ac80[:-2]))
    write('doran_emv_fuzz', 'generate_ac_77', b'\x10' + answer30(0x400, ac77[2:-2]))
    write('doran_emv_fuzz', 'record_list', b'\x40' + answer30(0x1000, b'', el('DF808D00', bytes.fromhex('123456780742' * 3))))
    write('doran_emv_fuzz', 'cdol_as_bytes', b'\x83' + answer30(0x0C, el('8C', bytes.fromhex('8A029F02069F03069F1A0295055F2A029A039C01'))))


if __name__ == '__main__':
    main()
