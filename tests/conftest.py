"""Helpers shared by the tests: exact-message checks, fragment shapes, a
reference parser written from the grammar and an independent SipHash-1-3."""

import gc
import struct
import sys

import pytest

import korvanta


def shape(fragments):
    """Fragments as comparable (string, options) pairs."""
    return [(f.string, f.options) for f in fragments]


def raises(exception, message, call, *args, **kwargs):
    """Calls and checks the exception's exact type and message."""
    with pytest.raises(exception) as info:
        call(*args, **kwargs)
    assert type(info.value) is exception
    assert str(info.value) == message
    return info.value


def assert_no_leak(call, repeat=300):
    """A call (failing or not) that leaks an object per run shows up here."""
    for _ in range(20):
        call()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(repeat):
        call()
    gc.collect()
    grown = sys.getallocatedblocks() - before
    assert grown < repeat // 4, f"{grown} blocks left after {repeat} calls"


def swallow(exception, call, *args):
    def run():
        try:
            call(*args)
        except exception:
            pass
    return run


# ---------------------------------------------------------------- reference parser

WORD_END = set("[]|#,")


def reference_parse(text):
    """The markup grammar, written as plainly as possible."""
    out, i, n = [], 0, len(text)

    def add_text(s):
        if out and out[-1][1] is None:
            out[-1] = (out[-1][0] + s, None)
        else:
            out.append((s, None))

    def word(j):
        k = j
        while k < n and text[k] not in WORD_END:
            k += 1
        return k

    while i < n:
        c = text[i]
        if c == "\\":
            if i + 1 < n and text[i + 1] in "\\[]":
                add_text(text[i + 1])
                i += 2
                continue
            break
        if c == "[":
            j = word(i + 1)
            if j == i + 1:
                break
            name, options = text[i + 1:j], []
            if j < n and text[j] == "|":
                j += 1
                k = word(j)
                if k > j:
                    options.append(text[j:k])
                    j = k
                    while True:
                        s = j
                        while s < n and text[s] in "#,":
                            s += 1
                        k = word(s)
                        if s == j or k == s:
                            break
                        options.append(text[s:k])
                        j = k
            if j < n and text[j] == "]":
                out.append((name, options))
                i = j + 1
                continue
            break
        if c == "]":
            break
        j = i
        while j < n and text[j] not in "\\[]":
            j += 1
        add_text(text[i:j])
        i = j
    return out


def reference_markup(pairs):
    parts = []
    for string, options in pairs:
        if options is None:
            parts.append(string)
        elif options:
            parts.append("[" + string + "|" + ",".join(options) + "]")
        else:
            parts.append("[" + string + "]")
    return "".join(parts)


# ---------------------------------------------------------------- SipHash-1-3

MASK = (1 << 64) - 1


def _rotl(x, b):
    return ((x << b) | (x >> (64 - b))) & MASK


def siphash13(data, k0=0, k1=0):
    v = [k0 ^ 0x736F6D6570736575, k1 ^ 0x646F72616E646F6D, k0 ^ 0x6C7967656E657261, k1 ^ 0x7465646279746573]

    def sip_round():
        v[0] = (v[0] + v[1]) & MASK; v[1] = _rotl(v[1], 13) ^ v[0]; v[0] = _rotl(v[0], 32)
        v[2] = (v[2] + v[3]) & MASK; v[3] = _rotl(v[3], 16) ^ v[2]
        v[0] = (v[0] + v[3]) & MASK; v[3] = _rotl(v[3], 21) ^ v[0]
        v[2] = (v[2] + v[1]) & MASK; v[1] = _rotl(v[1], 17) ^ v[2]; v[2] = _rotl(v[2], 32)

    whole = len(data) - len(data) % 8
    last = data[whole:] + bytes(7 - len(data) % 8) + bytes([len(data) & 0xFF])
    for block in [data[i:i + 8] for i in range(0, whole, 8)] + [last]:
        m = struct.unpack("<Q", block)[0]
        v[3] ^= m
        sip_round()
        v[0] ^= m
    v[2] ^= 0xFF
    for _ in range(3):
        sip_round()
    return v[0] ^ v[1] ^ v[2] ^ v[3]


def markup_hash(text):
    value = siphash13(text.encode() + b"\xff")
    value = value - (1 << 64) if value >= 1 << 63 else value
    return -2 if value == -1 else value


@pytest.fixture
def template():
    return korvanta.PromptTemplate("Hi [name] ! [label|good,bad]", tokenizer=None)
