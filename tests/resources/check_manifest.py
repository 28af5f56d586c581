#!/usr/bin/env python3
"""Checks the launcher's application manifest as an XML document.

Usage: check_manifest.py MANIFEST

The image test compares the embedded manifest with this file byte for byte;
this script says that the file itself is the document the loader must see.
Prints one line per fault and exits 1 if there is any.
"""
import re
import sys
import xml.etree.ElementTree as ET

SIZE = 1265
ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
COMPAT_V1 = "urn:schemas-microsoft-com:compatibility.v1"
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"
WS_2016 = "http://schemas.microsoft.com/SMI/2016/WindowsSettings"
PREFIXES = [("ns0", ASM_V1), ("ns1", COMPAT_V1), ("ns2", ASM_V3), ("ns3", WS_2016)]
SUPPORTED_OS = [
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10 and 11
]

faults = []


def expect(condition, message):
    if not condition:
        faults.append(message)


def q(ns, tag):
    return "{%s}%s" % (ns, tag)


def describe(element):
    """Element tree as nested (tag, attributes, text, children) tuples."""
    text = (element.text or "").strip()
    return (element.tag, dict(element.attrib), text, [describe(c) for c in element])


def node(ns, tag, attrib=None, text="", children=()):
    return (q(ns, tag), attrib or {}, text, list(children))


EXPECTED = node(ASM_V1, "assembly", {"manifestVersion": "1.0"}, children=[
    node(ASM_V1, "assemblyIdentity", {"type": "win32", "name": "Mini", "version": "1.0.0.0"}),
    node(COMPAT_V1, "compatibility", children=[
        node(COMPAT_V1, "application", children=[
            node(COMPAT_V1, "supportedOS", {"Id": guid}) for guid in SUPPORTED_OS])]),
    node(ASM_V3, "application", children=[
        node(ASM_V3, "windowsSettings", children=[
            node(WS_2016, "longPathAware", text="true")])]),
    node(ASM_V1, "dependency", children=[
        node(ASM_V1, "dependentAssembly", children=[
            node(ASM_V1, "assemblyIdentity", {
                "type": "win32", "name": "Microsoft.Windows.Common-Controls",
                "version": "6.0.0.0", "processorArchitecture": "*",
                "publicKeyToken": "6595b64144ccf1df", "language": "*"})])]),
    node(ASM_V3, "trustInfo", children=[
        node(ASM_V3, "security", children=[
            node(ASM_V3, "requestedPrivileges", children=[
                node(ASM_V3, "requestedExecutionLevel",
                     {"level": "asInvoker", "uiAccess": "false"})])])]),
])


def diff(got, want, where):
    tag, attrib, text, children = got
    wtag, wattrib, wtext, wchildren = want
    here = where + "/" + wtag.split("}")[1]
    expect(tag == wtag, "%s: element %s, expected %s" % (where, tag, wtag))
    expect(attrib == wattrib, "%s: attributes %s, expected %s" % (here, attrib, wattrib))
    expect(text == wtext, "%s: text %r, expected %r" % (here, text, wtext))
    expect(len(children) == len(wchildren),
           "%s: %d children, expected %d" % (here, len(children), len(wchildren)))
    for g, w in zip(children, wchildren):
        diff(g, w, here)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: check_manifest.py MANIFEST")
    with open(sys.argv[1], "rb") as f:
        raw = f.read()
    expect(len(raw) == SIZE, "size %d bytes, expected %d" % (len(raw), SIZE))
    expect(all(b < 0x80 for b in raw), "non-ASCII bytes")
    expect(b"\n" not in raw and b"\r" not in raw, "line break present")
    expect(not raw.startswith(b"\xef\xbb\xbf"), "byte-order mark present")
    expect(not raw.startswith(b"<?xml"), "XML declaration present")
    text = raw.decode("ascii", "replace")
    declared = re.findall(r'xmlns:(\w+)="([^"]*)"', text)
    expect(declared == PREFIXES, "namespace prefixes %s, expected %s" % (declared, PREFIXES))
    expect(re.search(r'xmlns="', text) is None, "default namespace declared")
    for word in ("dpiAware", "dpiAwareness", "activeCodePage"):
        expect(word not in text, "declares %s" % word)
    try:
        root = ET.fromstring(raw)
    except ET.ParseError as error:
        faults.append("not well-formed XML: %s" % error)
    else:
        diff(describe(root), EXPECTED, "")
    for fault in faults:
        print("check_manifest: " + fault)
    if faults:
        sys.exit(1)
    print("check_manifest: %s is the expected %d-byte manifest" % (sys.argv[1], SIZE))


if __name__ == "__main__":
    main()
