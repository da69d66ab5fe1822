"""What the source tree says the build makes: the helper the stub and wheel tests share."""

from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def source_modules():
    """Names of the extension modules the build makes: a .cpp under src/quarv is one, and so is a
    folder holding a body.cpp (its other .cpp files belong to it)."""
    names = set()
    for cpp in (ROOT / "src" / "quarv").rglob("*.cpp"):
        rel = cpp.relative_to(ROOT / "src")
        module = rel.parent if (cpp.parent / "body.cpp").exists() else rel.with_suffix("")
        names.add(".".join(module.parts))
    return sorted(names)
