"""The road of a configuration file through quarv.utils: load it with source positions, resolve
its markups, validate it with defaults filled in, merge an override into it, and write it out.

    python examples/road.py                          the bundled files in examples/road/
    python examples/road.py my.yaml [override.yaml]  your own files, against the same schema
"""

import logging
import os
import sys

import yaml

from quarv.utils.locations import Location, LocSafeLoader, recursive_location_update
from quarv.utils.mirrane import PlainTextSecretStringRepresenter, SecretString
from quarv.utils.veltrane import Any, Default, ListOf, Optional, Schema, SchemaError, Use
from quarv.utils.yaml.dumper import OrderedSafeDumper
from quarv.utils.yaml.markup import MarkupError, Processor

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "road")


def secret(text):
    """Keeps a decoded password as a secret value: its text form shows only asterisks."""
    return SecretString(text, representer_cls=PlainTextSecretStringRepresenter)


# What a valid file holds. Every server gets a timeout of 60 unless it names one; a port written
# as text becomes a number.
SCHEMA = Schema({
    "defaults": {"timeout": int},
    "site": {"name": str, "admin": str, "password": Use(secret)},
    "network": {"subnet": str, "gateway": str},
    "servers": {Any(): {"host": str, Optional("port"): Use(int), "timeout": Default(int, 60)}},
    "common_tags": ListOf(str),
    "region_tags": ListOf(str),
    "tags": ListOf(str),
})


class Dumper(OrderedSafeDumper):
    """Writes secret values as their masked text."""


Dumper.add_representer(SecretString, lambda dumper, value: dumper.represent_str(str(value)))


def load(path):
    """Step 1: the data of a YAML file, and a tree of where each key and value was written."""
    locations = Location()
    with open(path, encoding="utf-8") as stream:
        loader = LocSafeLoader(stream, locations=locations, file_name=path)
        try:
            return loader.get_single_data(), locations
        finally:
            loader.dispose()


def resolve(data, locations, folder):
    """Step 2: references, environment variables, included files (relative to the file's folder),
    list extensions and encoded secrets. Prompts and command-line values stay off in a script."""
    processor = Processor(ask=False, cli_var=False, callable=False)
    here = os.getcwd()
    os.chdir(folder)
    try:
        return processor(data, locations=locations)
    finally:
        os.chdir(here)


def road(main_path, override_path=None):
    data, locations = load(main_path)
    data = resolve(data, locations, os.path.dirname(os.path.abspath(main_path)))
    # Step 3: validation fills in the defaults; an error names the file, line and column.
    data = SCHEMA.validate(data, locations=locations)
    # Step 4: the override's values and their positions go into the tree.
    if override_path:
        override, override_locations = load(override_path)
        recursive_location_update(data, override, locations, override_locations)
    return data, locations


def one_line(error):
    return " ".join(part.strip() for part in str(error).splitlines() if part.strip())


def main(argv):
    logging.basicConfig(format="%(levelname)s: %(message)s")
    os.environ.setdefault("ROAD_ADMIN", "ops@example.org")
    bundled = not argv
    main_path, override_path = (
        (os.path.join(HERE, "site.yaml"), os.path.join(HERE, "override.yaml")) if bundled else (argv + [None])[:2]
    )
    try:
        data, locations = road(main_path, override_path)
    except (OSError, UnicodeError, yaml.YAMLError, MarkupError, SchemaError) as error:
        # One line for the user; a schema error's message starts with where the value was written.
        root = error
        while root.__cause__ is not None:
            root = root.__cause__
        reason = f" ({type(root).__name__}: {one_line(root)})" if root is not error else ""
        print(f"{type(error).__name__}: {one_line(error)}{reason}", file=sys.stderr)
        return 1
    # Step 5: the result, written back as YAML in the order it was read.
    print(yaml.dump(data, Dumper=Dumper, sort_keys=False, default_flow_style=False), end="")
    print("servers.web1.port is set at", locations["servers"]["web1"]["port"])
    print("site.name is set at", locations["site"]["name"])
    if bundled:
        # A file that breaks the schema: the error says where.
        try:
            road(os.path.join(HERE, "broken.yaml"))
        except SchemaError as error:
            print(f"broken.yaml is refused: {one_line(error)}")
    return 0

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
