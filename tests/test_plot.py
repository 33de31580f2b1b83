"""Pictures of a fit: a PNG from three viewpoints, written whole or not at all."""
import numpy as np
import pytest

pytest.importorskip("matplotlib", reason="plotting needs tarvic[plot]")
from tarvic import plot  # noqa: E402
from tarvic.io import CloudFileError  # noqa: E402
from conftest import shape_cloud  # noqa: E402

PNG = b"\x89PNG\r\n\x1a\n"


def test_before_after_writes_a_png_without_touching_pyplot(tmp_path):
    import matplotlib

    backend = matplotlib.get_backend()
    src = shape_cloud(300)
    holes = src + 0.5
    holes[::7] = np.nan  # left out of the picture, not an error
    plot.before_after(src, holes, src + 0.01, tmp_path / "a.png", title="test")
    data = (tmp_path / "a.png").read_bytes()
    assert data[:8] == PNG and len(data) > 20000
    assert matplotlib.get_backend() == backend
    # Large clouds are subsampled, so this stays quick and the same file each time.
    big = shape_cloud(200000)
    plot.before_after(big, big, big, tmp_path / "b.png", max_points=2000)
    plot.before_after(big, big, big, tmp_path / "c.png", max_points=2000)
    assert (tmp_path / "b.png").read_bytes() == (tmp_path / "c.png").read_bytes()


@pytest.mark.parametrize("bad", [np.zeros((5, 2)), np.zeros(3), "points"])
def test_bad_clouds_are_refused_before_drawing(tmp_path, bad):
    with pytest.raises(ValueError, match="moved"):
        plot.before_after(shape_cloud(10), shape_cloud(10), bad, tmp_path / "x.png")
    assert list(tmp_path.iterdir()) == []


def test_unwritable_destination_leaves_nothing(tmp_path):
    with pytest.raises(CloudFileError, match="x.png"):
        plot.before_after(shape_cloud(10), shape_cloud(10), shape_cloud(10), tmp_path / "missing" / "x.png")
    assert list(tmp_path.iterdir()) == []
