"""The main job's code path on a tiny budget: it trains, adds a dendrite, plots, saves,
reloads and verifies the checkpoint."""
import importlib.util
import json
import os
import sys

import pytest

import arborlib.slim_restore as SR

HERE = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture(scope="module")
def job():
    path = os.path.join(HERE, os.pardir, "examples", "dendrite_classifier.py")
    spec = importlib.util.spec_from_file_location("dendrite_classifier", path)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up
    spec.loader.exec_module(module)
    return module


@pytest.mark.slow
@pytest.mark.parametrize("model, threading", [("mlp", False), ("cnn", True)])
def test_tiny_run_writes_artefacts_and_reloads(job, tmp_path, model, threading):
    out = tmp_path / "run"
    argv = ["--model", model, "--subset", "400", "--epochs", "14", "--patience", "1", "--max-p-epochs", "2",
            "--candidates", "2", "--max-dendrites", "1", "--width", "4", "--out", str(out), "--quiet"]
    if threading:
        argv.append("--threading")
    result = job.main(argv)
    name = f"digits_{model}"
    for artefact in (f"{name}_arb.pt", f"{name}_validation.png", f"{name}_summary.json"):
        assert (out / artefact).stat().st_size > 0
    assert result["check"]["same_predictions"] and result["check"]["max_abs_diff"] < 1e-5
    assert [c["dendrites"] for c in result["cycles"]] == [0, 1]
    assert result["cycles"][1]["params"] > result["cycles"][0]["params"]
    with open(out / f"{name}_summary.json") as f:
        assert json.load(f)["cycles"] == result["cycles"]
    assert SR.doing_threading is False  # restored after the threaded check


def test_cnn_needs_image_data(job, tmp_path):
    with pytest.raises(SystemExit, match="image"):
        job.main(["--model", "cnn", "--dataset", "wine", "--out", str(tmp_path), "--quiet"])



@pytest.mark.parametrize("flag, value", [("--epochs", "-5"), ("--epochs", "0"), ("--subset", "0"), ("--seed", "-1"),
                                         ("--initial-batches", "-3"), ("--candidates", "0"), ("--batch", "0"),
                                         ("--width", "-2"), ("--lr", "nan"), ("--patience", "x")])
def test_out_of_range_numbers_are_argparse_errors(job, flag, value, capsys):
    with pytest.raises(SystemExit) as info:
        job.parse_args([flag, value])
    assert info.value.code == 2 and flag in capsys.readouterr().err


def test_unwritable_output_folder_is_one_line(job):
    with pytest.raises(SystemExit, match="^error: cannot write to the output folder [^\\n]*$"):
        job.main(["--out", os.path.join(__file__, "out"), "--quiet"])  # a folder inside a file


@pytest.mark.parametrize("debug, hook", [(False, "0"), (True, "pdb.set_trace")])
def test_debugger_stop_is_off_unless_asked(job, tmp_path, monkeypatch, debug, hook):
    monkeypatch.setenv("PYTHONBREAKPOINT", "pdb.set_trace")
    monkeypatch.setattr(job, "run", lambda args: os.environ.get("PYTHONBREAKPOINT"))
    assert job.main(["--out", str(tmp_path)] + ["--debug"] * debug) == hook
    assert os.environ["PYTHONBREAKPOINT"] == "pdb.set_trace"
