import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))

import fontbuilder  # noqa: E402
from c2pa_pki import c2pa_pki  # noqa: E402,F401  (the session's test PKI)

DEJAVU = Path("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf")
NOTO_EMOJI = Path("/usr/share/fonts/truetype/noto/NotoColorEmoji.ttf")
NOTO_CJK_TTC = Path("/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc")


def _read(path: Path) -> bytes:
    if not path.exists():
        pytest.fail(f"{path} is missing: the test setup installs it")
    return path.read_bytes()


@pytest.fixture(scope="session")
def dejavu() -> bytes:
    return _read(DEJAVU)


@pytest.fixture(scope="session")
def noto_emoji() -> bytes:
    return _read(NOTO_EMOJI)


@pytest.fixture(scope="session")
def noto_cjk_ttc() -> bytes:
    return _read(NOTO_CJK_TTC)


@pytest.fixture(scope="session")
def cff_font(tmp_path_factory, noto_cjk_ttc) -> bytes:
    """A CFF-flavoured (OTTO) face saved from the Noto CJK collection."""
    from fontTools.ttLib import TTCollection

    path = tmp_path_factory.mktemp("fonts") / "cjk.otf"
    collection = TTCollection(str(NOTO_CJK_TTC))
    collection.fonts[0].save(str(path))
    return path.read_bytes()


@pytest.fixture
def small_font() -> bytes:
    return fontbuilder.simple_font()


@pytest.fixture(scope="session")
def tsa(tmp_path_factory):
    """A local RFC 3161 time-stamp authority on 127.0.0.1 (tsa_server.py): its URL, anchor and modes."""
    import tsa_server

    with tsa_server.running(tmp_path_factory.mktemp("tsa")) as server:
        yield server
