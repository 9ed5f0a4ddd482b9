#!/usr/bin/env python3
"""The report's fields beside tshark's, over every capture file in a directory.

    bench/corpus_compare.py [--frames build/bench/corpus_frames] [--jobs 2]
                            [--cache DIR] [--list FILE] DIRECTORY...

For every datagram that tshark decodes as DNS (with mDNS and LLMNR), TLS (a handshake),
QUIC (an Initial), HTTP, DHCP, DHCPv6 or NTP, the fields tshark gives are compared with
the same fields read from the lines of Trovix's report of the same packet (corpus_frames,
which prints what `trovix-cli -r FILE -d` prints, each report under its record number).
A field is one tshark field of one datagram, all its values in order; it is equal,
differing (both have it, or only Trovix does), or missing (Trovix printed none). Each
difference that is not equal gets a cause where the datagram shows one (see CAUSES).
Prints one table per protocol and every difference with its file and frame.
"""

import argparse
import collections
import concurrent.futures
import os
import re
import subprocess
import sys

SEPARATOR = "\x1e"
AGGREGATOR = "\x1f"

# protocol -> the tshark fields compared for it
FIELDS = {
    "dns": ["dns.qry.name", "dns.resp.name", "dns.a", "dns.aaaa"],
    "tls": ["tls.handshake.type", "tls.handshake.extensions_server_name", "tls.handshake.extensions_alpn_str"],
    "quic": ["tls.handshake.extensions_server_name", "tls.handshake.extensions_alpn_str"],
    "http": ["http.request.method", "http.request.uri", "http.host", "http.response.code"],
    "dhcp": ["dhcp.option.dhcp"],
    "dhcpv6": ["dhcpv6.msgtype"],
    "ntp": ["ntp.flags.mode"],
}
# Read to sort datagrams and to name causes; never compared.
CONTEXT = ["frame.number", "frame.protocols", "tcp.segment.count", "quic.long.packet_type"]
TSHARK_FIELDS = CONTEXT + sorted({f for fields in FIELDS.values() for f in fields})

# The report's section titles for each protocol ("packetN TITLE").
TITLES = {
    "dns": ("dns", "mdns", "llmnr"),
    "tls": ("tls",),
    "quic": ("quic",),
    "http": ("http",),
    "dhcp": ("dhcp",),
    "dhcpv6": ("dhcpv6",),
    "ntp": ("ntp",),
}

CAUSES = {
    "reassembled": "tshark decoded a message it reassembled from several TCP segments",
    "encapsulated": "the message is inside a tunnel or an ICMP error's quote, below the datagram's own IP header",
    "not kept": "Trovix keeps no IP datagram from this frame (its link layer or its IP header)",
    "no section": "Trovix reads no such section from this datagram's ports or first bytes",
    "not yet": "the report prints no QUIC section yet",
    "relayed": "tshark also gives the message type of the message a relay carries, which the report shows as bytes",
    "continued": "the report names a handshake message the segment begins; tshark names it where it ends",
    "more messages": "tshark reads every HTTP message of the segment; the report reads the first",
    "no target": "a request line with two blanks in a row: the report's target is empty, tshark gives none",
    "after an invalid name": "tshark reads on past a name both call invalid; the report stops the message there",
}

# Causes by which the report never reads the message at that layer, as tshark does.
LAYER_CAUSES = ("not kept", "encapsulated", "reassembled", "no section", "not yet")


# --- tshark's side ------------------------------------------------------------------------

def protocol_of(layers, segments, quic_type):
    """The protocol compared for a datagram tshark decoded, from its layers; None if none."""
    names = set(layers)
    if "quic" in names and quic_type and "0" in quic_type.split(AGGREGATOR):
        return "quic"
    if "quic" in names:
        return None
    if "tls" in names:
        return "tls"
    for word in ("dns", "mdns", "llmnr"):
        if word in names:
            return "dns"
    if "dhcpv6" in names:
        return "dhcpv6"
    if "dhcp" in names:
        return "dhcp"
    if "ntp" in names:
        return "ntp"
    if "http" in names and "tcp" in names:
        return "http"
    return None


def encapsulated(layers, protocol):
    """Whether the message lies below a second IP header, or inside an ICMP error's quote."""
    words = TITLES[protocol] + (("tls",) if protocol == "quic" else ())
    at = min((layers.index(w) for w in words if w in layers), default=len(layers))
    below = layers[:at]
    return sum(w in ("ip", "ipv6") for w in below) > 1 or "icmp" in below or "icmpv6" in below


def tshark_output(path, cache):
    """tshark's lines for the file, kept in `cache` (a directory) when one is given: they do
    not change while Trovix does, and tshark's start costs most of a run."""
    kept = None
    if cache:
        kept = os.path.join(cache, os.path.basename(path) + ".fields")
        if os.path.exists(kept) and os.path.getmtime(kept) >= os.path.getmtime(path):
            with open(kept, encoding="utf-8", errors="replace") as f:
                return f.read()
    command = ["tshark", "-r", path, "-n", "-T", "fields", "-E", "separator=" + SEPARATOR,
               "-E", "aggregator=" + AGGREGATOR, "-E", "occurrence=a"]
    for field in TSHARK_FIELDS:
        command += ["-e", field]
    done = subprocess.run(command, capture_output=True, text=True, errors="replace")
    if kept:
        with open(kept, "w", encoding="utf-8", errors="replace") as f:
            f.write(done.stdout)
    return done.stdout


def tshark_rows(path, cache):
    rows = {}
    for line in tshark_output(path, cache).split("\n"):
        values = line.split(SEPARATOR)
        if len(values) != len(TSHARK_FIELDS):
            continue
        row = dict(zip(TSHARK_FIELDS, values))
        layers = row["frame.protocols"].split(":")
        protocol = protocol_of(layers, row["tcp.segment.count"], row["quic.long.packet_type"])
        if protocol is None:
            continue
        row["protocol"] = protocol
        row["layers"] = layers
        rows[int(row["frame.number"])] = row
    return rows


def tshark_values(row, field):
    text = row.get(field, "")
    if text == "":
        return []
    values = text.split(AGGREGATOR)
    if field in ("dns.qry.name", "dns.resp.name"):
        # tshark's words for a name it could not read, such as "<Name too long>".
        values = [INVALID_NAME if v.startswith("<") and v != "<Root>" else v for v in values]
    return values


# --- the report's side --------------------------------------------------------------------

def report_sections(path, frames_program):
    """frame number -> {section title: [lines]} from the report lines corpus_frames prints."""
    done = subprocess.run([frames_program, path], capture_output=True, text=True, errors="replace")
    reports = {}
    frame = None
    section = None
    for line in done.stdout.split("\n"):
        if line.startswith("frame ") and line[6:].isdigit():
            frame = int(line[6:])
            reports[frame] = {}
            section = None
            continue
        if frame is None:
            continue
        title = re.match(r"^packet\d+ (\S+) ?$", line)
        if title:
            section = title.group(1)
            reports[frame].setdefault(section, [])
            continue
        if section is not None:
            reports[frame][section].append(line)
    return reports, done.returncode


def unescape(text):
    """A name as the report prints it (\\DDD for an odd byte, \\. for a dot in a label) as text."""
    out = bytearray()
    k = 0
    while k < len(text):
        digits = text[k + 1:k + 4]
        if text[k] == "\\" and len(digits) == 3 and digits.isdigit():
            out.append(int(text[k + 1:k + 4]))
            k += 4
        elif text[k] == "\\" and k + 1 < len(text):
            out += text[k + 1].encode()
            k += 2
        else:
            out += text[k].encode("latin-1", "replace")
            k += 1
    return out.decode("latin-1")


DNS_CLASS = r"(?:IN|CH|HS|ANY|CLASS\d+)"
DNS_TYPE = r"(?:[A-Z]+|TYPE\d+)"
INVALID = re.compile(r"^(?:question|answer|authority|additional) = (invalid name \(.*\))$")
QUESTION = re.compile(r"^question = (.*) " + DNS_CLASS + r"(?: QU)? " + DNS_TYPE + r"$")
RECORD = re.compile(r"^(?:answer|authority|additional) = (.*?) \d+ " + DNS_CLASS + r"(?: cache-flush)? (" + DNS_TYPE + r") (.*)$")
OPT = re.compile(r"^(?:answer|authority|additional) = (.*) OPT payload size ")


INVALID_NAME = "<invalid>"


def dns_name(text):
    if text.startswith("invalid name ("):
        return INVALID_NAME
    return "<Root>" if text == "<root>" else unescape(text)


def report_dns(lines):
    fields = collections.defaultdict(list)
    for line in lines:
        if m := INVALID.match(line):
            field = "dns.qry.name" if line.startswith("question") else "dns.resp.name"
            fields[field].append(INVALID_NAME)
        elif m := QUESTION.match(line):
            fields["dns.qry.name"].append(dns_name(m.group(1)))
        elif m := OPT.match(line):
            fields["dns.resp.name"].append(dns_name(m.group(1)))
        elif m := RECORD.match(line):
            fields["dns.resp.name"].append(dns_name(m.group(1)))
            kind, data = m.group(2), m.group(3)
            valid = not data.startswith("invalid data (")
            if kind == "A" and valid:
                fields["dns.a"] += data.split(",")
            if kind == "AAAA" and valid:
                fields["dns.aaaa"] += data.split(",")
    return fields


def report_hello(lines):
    fields = collections.defaultdict(list)
    for line in lines:
        if m := re.match(r"^handshake = (\d+)", line):
            fields["tls.handshake.type"].append(m.group(1))
        elif line.startswith("server name = "):
            fields["tls.handshake.extensions_server_name"].append(unescape(line[len("server name = "):]))
        elif line.startswith("ALPN = "):
            fields["tls.handshake.extensions_alpn_str"] += [unescape(v) for v in line[len("ALPN = "):].split(",")]
    return fields


def report_http(lines):
    fields = collections.defaultdict(list)
    for line in lines:
        for label, field in (("method = ", "http.request.method"), ("target = ", "http.request.uri"),
                             ("Host = ", "http.host"), ("status code = ", "http.response.code")):
            if line.startswith(label):
                fields[field].append(unescape(line[len(label):]))
    return fields


def report_number(lines, label, field):
    fields = collections.defaultdict(list)
    for line in lines:
        if m := re.match("^" + re.escape(label) + r"(\d+)", line):
            fields[field].append(m.group(1))
    return fields


def report_fields(protocol, sections):
    """The fields of `protocol` from the report's section for it; None when it has none."""
    lines = None
    for title in TITLES[protocol]:
        if title in sections:
            lines = sections[title]
            break
    if lines is None:
        return None
    if protocol == "dns":
        return report_dns(lines)
    if protocol in ("tls", "quic"):
        return report_hello(lines)
    if protocol == "http":
        return report_http(lines)
    if protocol == "dhcp":
        return report_number(lines, "message type = ", "dhcp.option.dhcp")
    if protocol == "dhcpv6":
        return report_number(lines, "message type = ", "dhcpv6.msgtype")
    return report_number(lines, "mode = ", "ntp.flags.mode")


# --- the comparison -----------------------------------------------------------------------

def value_cause(field, theirs, mine):
    """A cause that the values themselves show; empty if none."""
    if field == "dhcpv6.msgtype" and len(theirs) > 1 and theirs[:1] == mine:
        return "relayed"
    if field == "tls.handshake.type" and theirs and len(mine) > len(theirs) and mine[:len(theirs)] == theirs:
        return "continued"
    if field.startswith("http.") and mine and len(theirs) > len(mine) and theirs[:len(mine)] == mine:
        return "more messages"
    if field == "http.request.uri" and mine == [""] and not theirs:
        return "no target"
    if INVALID_NAME in mine and mine[-1] == INVALID_NAME and theirs[:len(mine)] == mine:
        return "after an invalid name"
    return ""


def cause_of(row, sections, protocol):
    if protocol == "quic" and "quic" not in (sections or {}):
        return "not yet"
    if encapsulated(row["layers"], protocol):
        return "encapsulated"
    if row["tcp.segment.count"]:
        return "reassembled"
    if sections is None:
        return "not kept"
    if all(t not in sections for t in TITLES[protocol]):
        return "no section"
    return ""


def compare_file(path, frames_program, cache):
    rows = tshark_rows(path, cache)
    if not rows:
        return path, [], 0
    reports, code = report_sections(path, frames_program)
    results = []  # (protocol, frame, field, verdict, tshark values, report values, cause)
    for frame, row in sorted(rows.items()):
        protocol = row["protocol"]
        sections = reports.get(frame)
        ours = report_fields(protocol, sections) if sections is not None else None
        cause = cause_of(row, sections, protocol)
        for field in FIELDS[protocol]:
            theirs = tshark_values(row, field)
            mine = (ours or {}).get(field, [])
            if not theirs and not mine:
                continue
            if theirs == mine:
                verdict = "equal"
            elif not mine:
                verdict = "missing"
            else:
                verdict = "differing"
            why = "" if verdict == "equal" else value_cause(field, theirs, mine) or cause
            results.append((protocol, frame, field, verdict, theirs, mine, why))
        results.append((protocol, frame, None, "datagram", [], [], ""))
    return path, results, code


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("directories", nargs="+")
    parser.add_argument("--frames", default=os.path.join(here, "..", "build", "bench", "corpus_frames"))
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--cache", help="a directory to keep tshark's fields of each file in")
    parser.add_argument("--list", help="write every difference here rather than on standard output")
    args = parser.parse_args()

    if args.cache:
        os.makedirs(args.cache, exist_ok=True)
    files = []
    for directory in args.directories:
        for name in sorted(os.listdir(directory)):
            if re.search(r"\.(pcap|pcapng|cap)$", name):
                files.append(os.path.join(directory, name))

    counts = collections.defaultdict(collections.Counter)
    causes = collections.defaultdict(collections.Counter)
    differences = []
    failed = []
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        for path, results, code in pool.map(lambda p: compare_file(p, args.frames, args.cache), files):
            if code not in (0, 1):
                failed.append((path, code))
            for protocol, frame, field, verdict, theirs, mine, cause in results:
                counts[protocol][verdict] += 1
                if verdict in ("differing", "missing"):
                    causes[protocol][cause or "unexplained"] += 1
                    differences.append((path, frame, protocol, field, verdict, theirs, mine, cause))

    print(f"files: {len(files)}")
    print("| protocol | datagrams | fields | equal | differing | missing | causes |")
    print("|---|---|---|---|---|---|---|")
    total = collections.Counter()
    for protocol in FIELDS:
        c = counts[protocol]
        fields = c["equal"] + c["differing"] + c["missing"]
        total.update(c)
        why = ", ".join(f"{k} {v}" for k, v in causes[protocol].most_common())
        print(f"| {protocol} | {c['datagram']} | {fields} | {c['equal']} | {c['differing']} | {c['missing']} | {why} |")
    fields = total["equal"] + total["differing"] + total["missing"]
    unexplained = sum(c["unexplained"] for c in causes.values())
    print(f"| all | {total['datagram']} | {fields} | {total['equal']} | {total['differing']} | {total['missing']} | unexplained {unexplained} |")
    if fields:
        print(f"equal: {100.0 * total['equal'] / fields:.3f}% of fields")
        # Those of datagrams the report reads at the protocol's own layer, as tshark does.
        apart = sum(v for c in causes.values() for k, v in c.items() if k in LAYER_CAUSES)
        print(f"equal where both read the same bytes: {total['equal']} of {fields - apart}")
    for path, code in failed:
        print(f"corpus_frames ended with {code} on {path}")

    def shown(values):
        return repr(values if len(values) <= 8 else values[:8] + [f"... {len(values) - 8} more"])

    out = open(args.list, "w") if args.list else sys.stdout
    for path, frame, protocol, field, verdict, theirs, mine, cause in differences:
        print(f"{os.path.basename(path)}\tframe {frame}\t{protocol}\t{field}\t{verdict}\t"
              f"tshark {shown(theirs)}\ttrovix {shown(mine)}\t{cause or 'unexplained'}", file=out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
