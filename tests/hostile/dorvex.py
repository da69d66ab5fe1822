# Hostile collaborators of the FTP plug-in (see tests/test_hostile_collaborators.py): a stand-in FTP
# client whose methods give the wrong values, raise, change what they were handed, or call the
# plug-in again; the module-level names it looks up at call time; the base class's URL parsing.

ROWS = [
    row("dorvex.client-and-names", """
        import os, tempfile
        import quarv.utils.dorvex.plugins.localhost.ftp.dorvex as mod
        from quarv.utils.dorvex.plugins.localhost.ftp.dorvex import Dorvex
        plugin = Dorvex({"127.0.0.1": ("u", "p")})
        folder = tempfile.mkdtemp()
        local = os.path.join(folder, "f.bin")
        with open(local, "wb") as file:
            file.write(b"local content")
        LINE = "-rw-r--r--   1 owner group       13 Jan 01 00:00 f.bin"

        class Client:
            # every method answers as `behaviour` says; retrbinary and dir feed their callbacks first
            behaviour = staticmethod(lambda name, *a, **k: None)
            def __init__(self, *a, **k):
                pass
            def __enter__(self):
                return self
            def __exit__(self, *exc):
                return False
            def __getattr__(self, name):
                return lambda *a, **k: type(self).behaviour(name, *a, **k)
            def retrbinary(self, cmd, callback, *a, **k):
                callback(b"data")
                return type(self).behaviour("retrbinary", cmd, callback)
            def storbinary(self, cmd, file, *a, callback=None, **k):
                if callback:
                    callback(file.read(4))
                return type(self).behaviour("storbinary", cmd, file)
            def dir(self, path, callback, *a):
                callback(LINE)
                return type(self).behaviour("dir", path, callback)
            def nlst(self, *a):
                got = type(self).behaviour("nlst", *a)
                return ["a", "b"] if got is None else got

        URL = "ftp://127.0.0.1/f.bin"
        def every_operation():
            for name, call in [
                ("download", lambda: plugin.copyfile(URL, local, 5, upload=False)),
                ("upload", lambda: plugin.copyfile(local, URL, 5, upload=True)),
                ("dir", lambda: plugin.dir("ftp://127.0.0.1/", 5)),
                ("stat", lambda: plugin.stat(URL, 5)),
                ("chmod", lambda: plugin.chmod(URL, 0o644, 5)),
                ("delete", lambda: plugin.deletefile(URL, 5)),
                ("rename", lambda: plugin.renamefile(URL, "ftp://127.0.0.1/g.bin", 5)),
            ]:
                try:
                    call()
                except Exception:
                    pass

        mod.FTP = Client
        for label, value in WRONG.items():
            Client.behaviour = staticmethod(lambda name, *a, _v=value, **k: _v)
            attempt("client gives " + label, every_operation)
            LINE_SAVED = LINE
            LINE = value
            Client.behaviour = staticmethod(lambda name, *a, **k: None)
            attempt("listing line is " + label, every_operation)
            LINE = LINE_SAVED
        for label in RAISING:
            Client.behaviour = staticmethod(lambda name, *a, _l=label, **k: raiser(_l)())
            attempt("client raises " + label, every_operation)
        def again(name, *a, **k):
            if name in ("retrbinary", "dir"):
                Client.behaviour = staticmethod(lambda name, *a, **k: None)
                every_operation()
            return None
        Client.behaviour = staticmethod(again)
        attempt("client calls the plug-in again", every_operation)
        def emptying(name, *a, **k):
            for arg in a:
                if isinstance(arg, list):
                    arg.clear()
            return None
        Client.behaviour = staticmethod(emptying)
        attempt("client empties the lists it is handed", every_operation)
        Client.behaviour = staticmethod(lambda name, *a, **k: None)

        class Logger:
            def debug(self, message, *a):
                if isinstance(message, list):
                    message.clear()
            info = warning = error = debug
        saved_logger = mod.logger
        mod.logger = Logger()
        attempt("logger empties the listing it logs", lambda: plugin.stat(URL, 5))
        mod.logger = saved_logger

        for name in ["urlsplit", "urlunsplit", "os", "time", "datetime", "libstat", "logger", "re",
                     "STAT_DIR_FORMAT_SCAN_PATTERN_RECENT", "STAT_DIR_FORMAT_SCAN_PATTERN_NOT_RECENT",
                     "DATETIME_PAT_RECENT", "DATETIME_PAT_NOT_RECENT", "TimeLimitExceededOnFileTransfer", "AttrDict"]:
            saved = vars(mod)[name]
            for label, value in WRONG.items():
                setattr(mod, name, value)
                attempt(name + " is " + label, every_operation)
            setattr(mod, name, raiser("ValueError"))
            attempt(name + " raises", every_operation)
            setattr(mod, name, saved)

        for label, value in WRONG.items():
            P = type("P", (Dorvex,), {"validate_and_parse_url": lambda self, *a, _v=value, **k: _v})
            attempt("URL parsing gives " + label, lambda: P({"127.0.0.1": ("u", "p")}).stat(URL, 5))
        for label, value in WRONG.items():
            attempt("filemode_to_mode " + label, lambda: mod.filemode_to_mode(value))
    """),
]
