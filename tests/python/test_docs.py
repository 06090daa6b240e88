"""Every message the module can raise is explained in docs/troubleshooting.md: the texts are
taken from the sources, so a new message fails this test until the page explains it."""
import re
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
LITERAL = r'"(?:[^"\\]|\\.)*"'
LITERALS = r"((?:" + LITERAL + r"\s*)+)"  # adjacent literals, which C++ joins into one
# Where messages are made, per kind of source.
PATTERNS = [
    r"out \+= " + LITERALS,
    r"(?:PyErr_Format|PyErr_SetString)\(\s*\w+,\s*" + LITERALS,
    r"(?:raise_panic|InternalFault|IoError::fixed)\(\s*" + LITERALS,
    r"what\(\)[^{]*\{\s*return " + LITERALS,
    r"std::string message = " + LITERALS,
]
SOURCES = ["src/transport/*.cpp", "src/damiao/*.cpp", "src/python/*.cpp", "src/python/*.hpp"]
# printf conversions split a template into its fixed pieces.
PLACEHOLDER = re.compile(r"%[-0-9.]*(?:zu|lu|llu|[USRsdiuxc])")


def message_pieces():
    """The fixed pieces of every message, those with at least two words (the rest, such as
    'register ' or ', got ', only glue values together)."""
    pieces = set()
    for pattern in SOURCES:
        for path in ROOT.glob(pattern):
            text = path.read_text()
            for regex in PATTERNS:
                for match in re.finditer(regex, text):
                    template = "".join(m[1:-1] for m in re.findall(LITERAL, match.group(1)))
                    for piece in PLACEHOLDER.split(template):
                        piece = piece.replace('\\"', '"').strip()
                        if len(re.findall(r"[A-Za-z]+", piece)) >= 2:
                            pieces.add(piece)
    return pieces


def test_every_message_is_explained():
    pieces = message_pieces()
    # The extraction itself must keep working as the sources change.
    assert {"timeout waiting for frame", "is not in the Damiao register table",
            "positional arguments but", "control mode verification failed: wrote"} <= pieces
    page = (ROOT / "docs/troubleshooting.md").read_text()
    assert sorted(p for p in pieces if p not in page) == []


# docs/api.md listed four of the seven names jointbus_robot exports.
def test_api_md_lists_every_name_jointbus_robot_exports():
    import jointbus_robot
    page = (ROOT / "docs/api.md").read_text()
    listing = page.split("## `jointbus_robot`")[1].split("stub package")[0]
    assert sorted(set(jointbus_robot.__all__) - set(re.findall(r"`(\w+)`", listing))) == []


# The C++ names differ from the Python ones (VelSetpoint, damiao::VelCommand): each public name
# of both modules has its row in docs/cpp.md.
def test_cpp_md_maps_every_python_name():
    import jointbus
    import jointbus_robot
    page = (ROOT / "docs/cpp.md").read_text()
    table = page.split("## The Python names in C++")[1].split("\n## ")[0]
    names = {f"{module.__name__}.{name}" for module in (jointbus, jointbus_robot)
             for name in dir(module) if not name.startswith("_")}
    assert sorted(n for n in names if f"`{n}" not in table) == []
