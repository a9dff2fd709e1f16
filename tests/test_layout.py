"""The core's layers: every file sits in the folder of its layer, and includes run only downward."""
import pathlib
import re

import pytest

CORE = pathlib.Path(__file__).resolve().parent.parent / "src" / "core"
# Lowest first; the order is the one the core's README draws.
LAYERS = ["base", "functions", "linalg", "profiles", "elements", "spaces", "integration", "ops", "covariance"]
INCLUDE = re.compile(r'#include\s+"core/([a-z_]+)/[^"]+"')

pytestmark = pytest.mark.skipif(not CORE.is_dir(), reason="needs the source tree")


def test_every_source_lives_in_a_layer_folder():
    assert sorted(p.name for p in CORE.iterdir() if p.is_file() and p.suffix in (".cpp", ".hpp")) == []
    assert sorted(p.name for p in CORE.iterdir() if p.is_dir()) == sorted(LAYERS)


def test_includes_run_downward():
    upward = []
    for path in CORE.rglob("*.?pp"):
        own = LAYERS.index(path.parent.name)
        for layer in INCLUDE.findall(path.read_text()):
            if LAYERS.index(layer) > own:
                upward.append(f"{path.relative_to(CORE)} includes {layer}/")
    assert upward == []


def test_the_readme_draws_the_layers_in_order():
    text = (CORE / "README.md").read_text()
    positions = [text.find(f"{layer}/") for layer in LAYERS]
    assert -1 not in positions and positions == sorted(positions, reverse=True)  # drawn top down
