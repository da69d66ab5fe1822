"""Repeated calls to every extension module, on valid and on failing input, must not leak.

Each case runs in a child interpreter: a warm-up, then a measured run of many more calls. Neither the
total reference count (on interpreters that keep one), nor tracemalloc's traced total, nor the
resident memory may grow beyond a small bound. Failing calls matter most: every error branch of the
native code has to release what it took.
"""

import json
import os
import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor

import pytest

TRACED_BOUND = 64 * 1024
RSS_BOUND = 4 * 1024 * 1024
REFCOUNT_BOUND = 200
WARM_UP = 200

# The child: runs the cases of one module and prints one JSON line of measurements per case.
CHILD = r'''
import gc, json, os, sys, time, tracemalloc

PAGE = os.sysconf("SC_PAGE_SIZE")

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE

def refs():
    return sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0

def measure(name, setup, call, raises, n, warm_up):
    ns = {}
    exec(setup, ns)
    body = "def _once():\n" + "".join("    " + line + "\n" for line in call.splitlines())
    exec(body, ns)
    once = ns["_once"]
    expected = eval(raises, ns) if raises else None
    def run(times):
        for _ in range(times):
            try:
                once()
            except BaseException as error:
                if expected is None or not isinstance(error, expected):
                    raise
            else:
                if expected is not None:
                    raise AssertionError(f"{name}: expected {raises}")
    def settle():
        sys._clear_type_cache()
        gc.collect()
    run(warm_up)
    gc.collect()
    tracemalloc.start()
    run(warm_up)
    # The interpreter's method cache holds the attribute names it last looked up, up to a few
    # thousand; where names get new addresses each time (PYTHONMALLOC=malloc, as under the
    # sanitizer), it fills up during a run and would look like a leak.
    settle()
    t0, r0, c0 = tracemalloc.get_traced_memory()[0], rss(), refs()
    run(n)
    settle()
    t1, r1, c1 = tracemalloc.get_traced_memory()[0], rss(), refs()
    tracemalloc.stop()
    return {"traced": t1 - t0, "rss": r1 - r0, "refs": c1 - c0}

for name, setup, call, raises, n, warm_up in json.loads(sys.stdin.read()):
    start = time.monotonic()
    try:
        result = measure(name, setup, call, raises, n, warm_up)
    except BaseException as error:
        result = {"error": f"{type(error).__name__}: {error}"}
    result["name"], result["seconds"] = name, round(time.monotonic() - start, 2)
    print(json.dumps(result), flush=True)
'''

# (module, case name, setup source, call source, expected exception or None, number of calls, warm-up calls)
CASES = []


def case(module, name, setup, call, raises=None, n=5000, warm_up=WARM_UP):
    CASES.append((module, name, textwrap.dedent(setup), textwrap.dedent(call).strip(), raises, n, warm_up))


# --- dicts
D = "from collections import OrderedDict\nfrom quarv.utils.dicts import *\n"
case("dicts", "update", D, "recursive_update({'a': {'b': 1}, 'l+': [1]}, {'a': {'c': [2]}, 'l+': [3], 'x': 1}, list_extend=True)")
case("dicts", "update_not_mapping", D, "recursive_update({'a': {'b': 1}}, {'a': {'b': {'c': 1}}, 'z': []})")
case("dicts", "update_fails", D, "recursive_update({'a': {'b': 1}}, {'a': []}, list_extend=True)\nrecursive_update({'a': 1}, {'a': {'b': 1}, 'k': {[]: 1}})", "TypeError")
case("dicts", "setdefault", D, "recursive_setdefault({'a': {'b': 1}}, {'a': {'c': 2}, 'd': 3})")
case("dicts", "setdefault_fails", D, "recursive_setdefault({'a': {}}, {'a': {'c': {}}, 'b': None})\nrecursive_setdefault({}, None)", "AttributeError")
case("dicts", "cast", D, "recursive_cast({'a': {'b': [{'c': 1}]}}, OrderedDict)")
case("dicts", "cast_fails", D, "recursive_cast({'a': {'b': 1}}, int)", "TypeError")
case("dicts", "key_path", D, "set_dict_by_key_path({'a': {'b': []}}, ['a', 'b'], 1, append_list=True)\nset_dict_by_key_path({}, ['x'], 2)")
case("dicts", "key_path_fails", D, "set_dict_by_key_path({'a': {'b': 'x'}}, ['a', 'b'], 1, append_list=True)", "ValueError")
case("dicts", "key_path_missing", D, "set_dict_by_key_path({'a': 1}, ['a', 'b'], 1)", "TypeError")
case("dicts", "extended_dict", D, "create_extended_dict({'a': 1, 'b': {'c': 2}}, {'a': 0})")
case("dicts", "unique_key", D, "generate_unique_key_name('a', 1, {'a': 2, 'a_1': 3})")
case("dicts", "enforce", D, "enforce_max_key_value_length({'k': 123, 'n': {'l': ['ok', 'abc']}}, 3, 3)")
case("dicts", "enforce_key_fails", D, "enforce_max_key_value_length({'n': {'abcdef': 1}}, 3, 3)", "Exception")
case("dicts", "enforce_value_fails", D, "enforce_max_key_value_length([{'k': 1}, {'k': (1, 2)}], 3, 3)", "Exception")
case("dicts", "enforce_bad_limit", D, "enforce_max_key_value_length({'k': 1}, '5')", "TypeError")
case("dicts", "json", D, "load_dict_from_json_string('{\"a\": [1, 2, {\"b\": null}]}')")
case("dicts", "json_fails", D, "load_dict_from_json_string('{\"a\": ')", "Exception")
case("dicts", "kv", D, "load_dict_from_kv_string('a=1 b=\"two words\" c=[1,2]')")
case("dicts", "kv_fails", D, "load_dict_from_kv_string('a=\"unclosed')", "Exception")
case("dicts", "list", D, "load_dict_from_list(repr(['{\"a\": 1}', '{\"a\": 2}', '{\"b\": [3]}']))\nload_dict_from_list('[]', unique_keys=False)")
case("dicts", "list_not_a_list", D, "load_dict_from_list('5')", "Exception")
case("dicts", "list_not_a_literal", D, "load_dict_from_list('not a literal')", "Exception")

# --- parvix
P = "from quarv.utils.parvix import *\n"
case("parvix", "expand", P, "expand_nargs_list(['1 2 3', \"'a' \\\"b\\\"\", None, 'x y'])", n=10000)
case("parvix", "expand_fails", P, "expand_nargs_list(['a', ['b']])", "AttributeError", n=10000)
case("parvix", "expand_bytes", P, "expand_nargs_list([b'a b'])", "TypeError", n=10000)
case("parvix", "remove_dups", P, "remove_dups_from_multiple_nargs_list([['a', 'b', 'a'], ['b', 'c'], iter(['c', 'd'])])", n=10000)
case("parvix", "remove_dups_fails", P, "remove_dups_from_multiple_nargs_list([['a', ['unhashable']]])", "TypeError", n=10000)
case("parvix", "remove_dups_none", P, "remove_dups_from_multiple_nargs_list([['a'], None])", "TypeError", n=10000)

# --- ansi
A = "from quarv.utils.ansi import escape\n"
case("ansi", "escape", A, "escape('\\x1b[1;31mred\\x1b[0m and \\x1b]0;title\\x07 plain ' * 4)", n=20000)
case("ansi", "escape_plain", A, "escape('nothing to strip here')", n=20000)
case("ansi", "escape_fails", A, "escape(b'\\x1b[1m')", "TypeError", n=20000)
case("ansi", "escape_no_argument", A, "escape()", "TypeError", n=20000)

# --- tomblet
T = "from quarv.utils.tomblet import *\ndef callback(frame): pass\n"
case("tomblet", "arm_and_restore", T, "enable_double_ctrl_c(callback)\nrestore_sigint_handler()", n=10000)
case("tomblet", "two_interrupts", T + "import signal\n",
     "enable_double_ctrl_c(callback)\nsignal.raise_signal(signal.SIGINT)\nsignal.raise_signal(signal.SIGINT)", "KeyboardInterrupt", n=5000)
case("tomblet", "restore_fails", T, "restore_sigint_handler(1)", "TypeError", n=10000)

# --- yaml.dumper
Y = "import yaml\nfrom yaml.representer import RepresenterError\nfrom collections import OrderedDict\nfrom quarv.utils.yaml.dumper import OrderedSafeDumper\n"
case("yaml.dumper", "dump", Y, "yaml.dump(OrderedDict([('b', {'x': 1}), ('a', [OrderedDict(c=2)])]), Dumper=OrderedSafeDumper)", n=2000)
case("yaml.dumper", "dump_fails", Y + "class Sub(OrderedDict): pass\n",
     "yaml.dump(OrderedDict(a=Sub(b=1)), Dumper=OrderedSafeDumper)", "yaml.representer.RepresenterError".split(".")[-1], n=2000)

# --- mirrane
M = """
import cryptography.fernet
from collections import UserString
from quarv.configuration import configuration
from quarv.utils.mirrane import *
from quarv.utils.mirrane import (BaseSecretStringContainer, ObscuringSecretStringRepresenter,
                                 PlainTextSecretStringRepresenter)
configuration.clear()
def fernet_key():
    configuration.set("secrets.string.key", cryptography.fernet.Fernet.generate_key().decode())
"""
case("mirrane", "obscured", M, "s = SecretString.from_plaintext('pässwörd')\ns.plaintext\nstr(s)\ns == SecretString(s.data)\nto_plaintext(s)\nto_plaintext('x')")
case("mirrane", "obscuring_refuses", M, "SecretString.from_plaintext('€')", "ValueError")
case("mirrane", "obscured_wrong_padding", M, "SecretString('YQ')", "Exception")
case("mirrane", "obscured_not_utf8", M, "SecretString('+/+/')", "Exception")
case("mirrane", "plain", M, "SecretString('x', representer_cls=PlainTextSecretStringRepresenter).plaintext")
case("mirrane", "container_refuses", M, "ObscuringSecretStringRepresenter(UserString('text'))", "Exception")
case("mirrane", "wrong_representer", M, "SecretString('x', representer_cls=int)", "Exception")
case("mirrane", "wrong_call", M, "SecretString('a', None, 'string', 4)", "TypeError")
case("mirrane", "keygen", M, "SecretString.keygen()\nFernetSecretStringRepresenter.keygen()", n=2000)
case("mirrane", "fernet", M + "fernet_key()\n",
     "s = SecretString.from_plaintext('pw €', representer_cls=FernetSecretStringRepresenter)\ns.plaintext", n=2000)
case("mirrane", "fernet_without_key", M, "SecretString('gAAAAA', representer_cls=FernetSecretStringRepresenter)", "Exception", n=2000)
case("mirrane", "fernet_wrong_key", M + "fernet_key()\ns = SecretString.from_plaintext('pw', representer_cls=FernetSecretStringRepresenter)\nfernet_key()\n",
     "s.plaintext", "cryptography.fernet.InvalidToken", n=2000)

# --- email
E = """
import os, tempfile
from quarv.utils.email import EmailMsg
folder = tempfile.mkdtemp()
with open(os.path.join(folder, "a.txt"), "w") as f:
    f.write("attached\\n")
def mail(**kwargs):
    values = dict(from_email="sender@example.org", to_email="ann@example.org, bob", subject="Report",
                  body="All is well.\\n", default_domain="example.com")
    values.update(kwargs)
    return EmailMsg(**values)
"""
case("email", "message", E, "m = mail(html_email=True, html_body='<p>x</p>', attachments=[os.path.join(folder, 'a.txt')])\nm.message()\nm.recipients()", n=500)
# each text form compiles a pattern for its new boundary into the bounded cache of re: emptied at each call
case("email", "text_form", E + "import re\n", "str(mail(html_email=True, html_body='<p>x</p>'))\nre.purge()", n=300)
case("email", "missing_attachment", E, "mail(attachments=[os.path.join(folder, 'gone.txt')]).message()", n=500)
case("email", "directory_attachment", E, "mail(attachments=[folder]).message()", "IsADirectoryError", n=500)
case("email", "addresses", E, "EmailMsg.convert_to_address('ann, bob;carl  ;, dora@d.org', 'x.org')", n=10000)
case("email", "address_without_domain", E, "EmailMsg.convert_to_address('ann@a.b, bare', '')", "ValueError", n=10000)
case("email", "address_unpack", E, "EmailMsg.convert_to_address('ann@a@b', 'x.org')", "ValueError", n=10000)
case("email", "address_not_text", E, "EmailMsg.convert_to_address(['ann', None], 'x.org')", "TypeError", n=10000)
case("email", "message_without_domain", E, "mail(to_email='bare', default_domain=None).message()", "ValueError", n=2000)
case("email", "wrong_call", E, "EmailMsg('a', from_email='b')", "TypeError", n=10000)
case("email", "send_refused", E, "mail().send(host='127.0.0.1', port=9, timeout=5)", "OSError", n=300)

# --- locations
L = """
import yaml
from quarv.utils.locations import *
TEXT = "a: 1\\nb: [x, {c: 2}]\\nd:\\n  e: f\\n"
"""
case("locations", "load", L, "root = Location()\nLocSafeLoader(TEXT, locations=root, file_name='conf.yaml').get_single_data()\nstr(root)", n=2000)
case("locations", "load_fails", L, "LocSafeLoader('a: [1, 2\\nb: 3', locations=Location()).get_single_data()", "yaml.YAMLError", n=2000)
case("locations", "load_unhashable_key", L, "LocSafeLoader('? [1]\\n: 2', locations=Location()).get_single_data()", "yaml.YAMLError", n=2000)
case("locations", "location", L, "loc = Location(a=1, b=2)\nloc.file, loc.line, loc.column = '/srv/a.yaml', 4, 2\nloc.extract()\nstr(loc)\nloc == Location(a=1, b=2)")
case("locations", "location_fails", L, "Location([(1, 2, 3)])", "ValueError")
case("locations", "location_unhashable", L, "hash(Location())", "TypeError")
case("locations", "text_form_fails", L, "loc = Location()\nloc.file, loc.line, loc.column = None, 0, 0\nstr(loc)", "TypeError")
case("locations", "deepcopy", L, "location_deepcopy({'a': [1, {'b': Location(c=2)}], 'd': (1, 2)})")
case("locations", "update", L, "recursive_location_update({'a': {'b': 1}, 'l+': [1]}, {'a': {'c': 2}, 'l+': [2]}, Location(a=Location()), Location(a=Location(c=Location())), list_extend=True)")
case("locations", "update_fails", L, "recursive_location_update({'a': {}}, None, Location(), Location())", "TypeError")
case("locations", "setdefault", L, "recursive_location_setdefault({'a': {'b': 1}}, {'a': {'c': 2}, 'd': 3}, Location(a=Location()), Location(a=Location(c=Location()), d=Location()))")
case("locations", "setdefault_fails", L, "recursive_location_setdefault({}, None, Location(), Location())", "Exception")

# --- veltrane
V = """
from quarv.utils.veltrane import And, Default, ListOf, Optional, Or, Path, PathAwareUse, Schema, SchemaError, Use
SCHEMA = Schema({"name": str, Optional("port"): And(int, lambda p: 0 < p < 65536),
                 "tags": ListOf(str), Optional("mode"): Or("a", "b"), Optional("size"): Use(int)})
"""
case("veltrane", "validate", V, "SCHEMA.validate({'name': 'n', 'tags': ['x', 'y'], 'mode': 'a', 'size': '5'})")
case("veltrane", "missing_key", V, "SCHEMA.validate({'tags': []})", "SchemaError")
case("veltrane", "wrong_type", V, "SCHEMA.validate({'name': 1, 'tags': []})", "SchemaError")
case("veltrane", "unsupported_key", V, "SCHEMA.validate({'name': 'n', 'tags': [], 'other': 1})", "SchemaError")
case("veltrane", "or_fails", V, "SCHEMA.validate({'name': 'n', 'tags': [], 'mode': 'c'})", "SchemaError")
case("veltrane", "use_fails", V, "SCHEMA.validate({'name': 'n', 'tags': [], 'size': 'x'})", "SchemaError")
case("veltrane", "list_fails", V, "SCHEMA.validate({'name': 'n', 'tags': ['x', 2]})", "SchemaError")
case("veltrane", "callable_type_error", V, "Schema(chr).validate('a')", "TypeError")
case("veltrane", "default", V, "Schema({Optional('a'): Default(int, 5), 'b': Or(None, str)}).validate({'b': None})")
case("veltrane", "path_aware", V + "def double(value, path):\n    return value * 2\n",
     "Schema({'a': {'b': PathAwareUse(double)}}).validate({'a': {'b': 5}})")
case("veltrane", "path_aware_fails", V, "PathAwareUse(len).validate('x')", "SchemaError")
case("veltrane", "path", V, "p = Path(['a', 1, 'b'])\np == Path(['a', 1, 'b'])\nstr(p)\nrepr(p)\nhash(p)")

# --- objects
O = """
from quarv.utils.objects import *
ITEMS = [{"name": "x", "status": "up", "Eth1": {"mtu": 9000}}, {"name": "y", "status": "down", "Eth2": {}}]
"""
case("objects", "find", O, "find(ITEMS, R(name='x', status='up'))\nfind(ITEMS, R(**{'(Eth.*)': {'mtu': 9000}}))\nfind(ITEMS, R(status=Not('up')), R(name=Contains('y')))")
case("objects", "find_no_match", O, "find(ITEMS, R(name='z'), filter_=False)")
case("objects", "bad_key_pattern", O, "find(ITEMS, R(**{'(Eth': 1}))", "ValueError")
case("objects", "bad_value_pattern", O, "find(ITEMS, R(status='(up'))", "ValueError")

# --- yaml.markup
K = """
import os, tempfile
from quarv.utils.yaml.markup import MarkupError, Processor
os.environ["LEAK_CHECK_VAR"] = "v"
folder = tempfile.mkdtemp()
INCLUDED = os.path.join(folder, "inc.yaml")
with open(INCLUDED, "w") as f:
    f.write("x: 1\\ny: [a, '%ENV{LEAK_CHECK_VAR}']\\n")
processor = Processor()
"""
case("yaml.markup", "references", K, "processor({'a': '%{b.c}', 'b': {'c': [1, '%ENV{LEAK_CHECK_VAR}']}, 'l': 'x %{b.c} y', 'k+': [1], '%{s}': 2, 's': 'key'})", n=3000)
case("yaml.markup", "callables", K, "processor({'a': \"%CALLABLE{os.path.join('a', 'b')}\", 'b': '%CALLABLE{os.getcwd}', 'c': '%CLI{nokey, default=5}'})", n=3000)
case("yaml.markup", "include", K, "processor({'a': '%INCLUDE{' + INCLUDED + '}'})", n=1000)
case("yaml.markup", "missing_reference", K, "processor({'a': {'b': '%{zz}'}})", "MarkupError", n=3000)
case("yaml.markup", "missing_module", K, "processor({'a': '%CALLABLE{no_such_module_q.f()}'})", "MarkupError", n=1000)
case("yaml.markup", "encoded_wrong_format", K, "processor({'a': '%ENC{secret}'})", "MarkupError", n=3000)
case("yaml.markup", "unhashable_key", K, "processor({'%{l}': 1, 'l': [1]})", "MarkupError", n=3000)
case("yaml.markup", "missing_include", K, "processor({'a': '%INCLUDE{' + folder + '/gone.yaml}'})", "MarkupError", n=1000)

# --- import_utils
I = """
import os, sys, tempfile
from quarv.utils.import_utils.legacy import LegacyImporter
from quarv.utils.import_utils.flex import FlexImporter
for held in (LegacyImporter._importmap, LegacyImporter._reverse_importmap, LegacyImporter._custom_translators,
             LegacyImporter._custom_reverse_translators):
    held.clear()
def broken(name):
    raise LookupError(name)
folder = tempfile.mkdtemp()
def source(name, text):
    path = os.path.join(folder, name)
    with open(path, "w") as f:
        f.write(text)
    return path
GOOD, FAILING, SYNTAX = source("good_q.py", "VALUE = 1\\n"), source("failing_q.py", "raise KeyError('x')\\n"), source("syntax_q.py", "def (:\\n")
flex = FlexImporter("pre")
"""
case("import_utils", "legacy", I + "LegacyImporter.register(lambda n: None, lambda n: None, oldjson='json', lost='no_such_package_q.sub')\n",
     "LegacyImporter.translate('oldjson.decoder')\nLegacyImporter.reverse_translate('json')\nLegacyImporter.find_spec('oldjson.decoder', None, None)\nLegacyImporter.find_spec('other')")
case("import_utils", "legacy_not_found", I + "LegacyImporter.register(lost='no_such_package_q.sub')\n", "LegacyImporter.find_spec('lost')", "ModuleNotFoundError", n=2000)
case("import_utils", "legacy_register_refused", I, "LegacyImporter.register(len, 5, legacy='new')", "ValueError")
case("import_utils", "legacy_register_unpack", I, "LegacyImporter.register(len, len, len, legacy='new')", "ValueError")
case("import_utils", "legacy_translator_raises", I + "LegacyImporter.register(broken, broken)\n", "LegacyImporter.translate('a.b')", "LookupError")
case("import_utils", "legacy_bad_value", I + "LegacyImporter.register(b=5)\n", "LegacyImporter.translate('b.c')", "TypeError")
case("import_utils", "flex", I, "flex.load('json')\nflex.load(sys)\nflex.load_module_from_file(GOOD)", n=2000)
case("import_utils", "flex_missing", I, "flex.load('no_such_module_q')", "Exception", n=1000)
case("import_utils", "flex_bad_object", I, "flex.load([1])", "TypeError")
case("import_utils", "flex_failing_file", I, "flex.load_module_from_file(FAILING)", "KeyError", n=2000)
case("import_utils", "flex_syntax", I, "flex.load_module_from_file(SYNTAX)", "SyntaxError", n=2000)
case("import_utils", "flex_absent", I, "flex.load_module_from_file(os.path.join(folder, 'absent_q.py'))", "FileNotFoundError", n=2000)

# --- the FTP plug-in: a client that answers from a table stands in for a server
F = """
import ftplib
from quarv.utils.dorvex.plugins.localhost.ftp import dorvex
from quarv.utils.dorvex.plugins.localhost.ftp.dorvex import Dorvex, filemode_to_mode
class Client:
    lines, refused = [], False
    def __enter__(self):
        return self
    def __exit__(self, *exc_info):
        pass
    def connect(self, **kwargs):
        pass
    def login(self, **kwargs):
        if self.refused:
            raise ftplib.error_perm("530 Login incorrect.")
    def dir(self, path, callback):
        for line in self.lines:
            callback(line)
    def nlst(self, path):
        return ["a.txt", "b.txt"]
    def delete(self, **kwargs):
        pass
dorvex.FTP = Client
plugin = Dorvex({"127.0.0.1": ("user", "secret")})
def listing(*lines):
    Client.lines = list(lines)
URL = "ftp://127.0.0.1:2121/pub/a.txt"
"""
case("ftp", "filemode", F, "filemode_to_mode('-rwsr-sr-t')\nfilemode_to_mode('drwxr-x---@xyz')\nfilemode_to_mode('')", n=20000)
case("ftp", "filemode_fails", F, "filemode_to_mode(1.5)", "TypeError", n=20000)
case("ftp", "stat_recent", F + "listing('-rw-r--r--   1 ftp      ftp          1024 Mar 03 10:15 a.txt')\n", "plugin.stat(URL, 10)", n=3000)
case("ftp", "stat_not_recent", F + "listing('  drwxr-x---  12 0 wheel 4096 Jan  1  2020 a.txt  ')\n", "plugin.stat(URL, 10)", n=3000)
case("ftp", "stat_directory", F + "listing('total 4', '-rw-r--r-- 1 ftp ftp 1 Mar 03 10:15 a.txt')\n", "plugin.stat(URL, 10)", "Exception", n=3000)
case("ftp", "stat_nothing", F + "listing()\n", "plugin.stat(URL, 10)", "Exception", n=3000)
case("ftp", "stat_unreadable", F + "listing('-rw-r--r-- 1 ftp ftp 1 Mar 03 10:15 my a.txt')\n", "plugin.stat(URL, 10)", "Exception", n=3000)
case("ftp", "stat_link", F + "listing('lrwxrwxrwx 1 ftp ftp 1 Mar 03 10:15 a.txt -> b')\n", "plugin.stat(URL, 10)", "Exception", n=3000)
case("ftp", "dir_and_delete", F, "plugin.dir('ftp://127.0.0.1/pub', 10)\nplugin.deletefile(URL, 10)", n=3000)
case("ftp", "login_refused", F + "Client.refused = True\n", "plugin.stat(URL, 10)", "ftplib.error_perm", n=3000)
case("ftp", "getspace_refused", F, "plugin.getspace(URL, 5, 'surplus', any=1)", "NotImplementedError", n=10000)
case("ftp", "rename_refused", F, "plugin.renamefile(URL, 'ftp://127.0.0.2/pub/b.txt', 5)", "Exception", n=5000)
case("ftp", "wrong_call", F, "plugin.copyfile('a', 'b', 5)", "TypeError", n=10000)


def run_module(module):
    cases = [case[1:] for case in CASES if case[0] == module]
    proc = subprocess.run([sys.executable, "-c", CHILD], input=json.dumps(cases), capture_output=True,
                          text=True, timeout=300)
    results = {}
    for line in proc.stdout.splitlines():
        if line.startswith("{"):
            item = json.loads(line)
            results[item.pop("name")] = item
    return results, proc.returncode, proc.stderr[-2000:]


@pytest.fixture(scope="module")
def measurements():
    # the slowest first, so that the other worker takes the rest meanwhile
    modules = sorted(dict.fromkeys(m for m, *_ in CASES), key=lambda m: m != "email")
    with ThreadPoolExecutor(max_workers=2) as pool:
        return dict(zip(modules, pool.map(run_module, modules)))


@pytest.mark.parametrize("module, name", [(m, name) for m, name, *_ in CASES], ids=[f"{m}:{name}" for m, name, *_ in CASES])
def test_no_leak(measurements, module, name):
    results, returncode, stderr = measurements[module]
    assert name in results, f"child ended ({returncode}) before {name}:\n{stderr}"
    result = results[name]
    assert "error" not in result, result["error"]
    assert result["refs"] < REFCOUNT_BOUND, result
    n = next(case[5] for case in CASES if case[:2] == (module, name))
    assert result["traced"] < min(TRACED_BOUND, 8 * n), result
    # the address sanitizer holds freed blocks back from reuse: resident memory grows there by design
    if "asan" not in os.environ.get("LD_PRELOAD", ""):
        assert result["rss"] < RSS_BOUND, result
