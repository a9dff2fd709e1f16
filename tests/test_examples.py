"""The scripts in examples/ run, and what they compute agrees with NumPy and SciPy."""

import importlib.util
from pathlib import Path

import numpy as np
import pytest

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


def load(name):
    spec = importlib.util.spec_from_file_location(f"example_{name}", EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_dask_cluster_rebins_and_fits_like_numpy():
    pytest.importorskip("dask.array")
    pytest.importorskip("distributed")
    example = load("dask_spectra")
    rows, samples, factor, breaks, chunk = 1500, 60, 6, 9, 400  # four chunks, the last one short
    result = example.main(["--rows", str(rows), "--samples", str(samples), "--factor", str(factor),
                           "--breaks", str(breaks), "--chunk", str(chunk), "--workers", "2"])
    assert result["identical"]

    data = example.spectra(rows, samples, chunk).compute(scheduler="sync")
    # Equal boxes rebinned onto boxes of `factor` fine bins: the mean of each group.
    np.testing.assert_allclose(result["mean_coarse"], data.reshape(rows, -1, factor).mean(axis=2).mean(axis=0),
                               rtol=1e-12, atol=1e-14)
    _, fit = example.operators(samples, factor, breaks)
    design = fit.design().toarray()
    coefficients = np.linalg.lstsq(design, data.T, rcond=None)[0].T
    np.testing.assert_allclose(result["mean_coefficients"], coefficients.mean(axis=0), rtol=1e-9, atol=1e-11)
    residual = coefficients @ design.T - data
    assert result["rms"] == pytest.approx(np.sqrt(np.mean(residual ** 2)), rel=1e-9)


@pytest.mark.parametrize("name", ["plot_fit", "plot_rebin", "plot_basis", "plot_gp", "plot_gcv"])
def test_picture_example_writes_a_png(name, tmp_path):
    image = pytest.importorskip("matplotlib.image")
    output = tmp_path / f"{name}.png"
    assert load(name).main([str(output), "--dpi", "30"]) == str(output)
    assert output.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    pixels = image.imread(output)
    assert min(pixels.shape[:2]) > 50 and np.ptp(pixels[..., :3]) > 0.5  # drawn, not blank


def test_line_example_fits_the_synthetic_spectrum(tmp_path):
    pytest.importorskip("matplotlib")
    example = load("plot_lines")
    grid, kernels, continuum, data, noise, truth = example.spectrum(n_lines=6)
    found, result = example.fit(grid, kernels, continuum, data, noise)
    assert result.success and len(found.center) == 6
    # Noise-level residuals, and every line found again within a few standard errors.
    assert result.chi2 / result.dof == pytest.approx(1.0, abs=0.15)
    pull = (result.lines[0].values["center"] - truth.values["center"]) / result.errors[0]["center"]
    assert np.all(np.abs(pull) < 5)
