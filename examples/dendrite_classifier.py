"""Trains a small classifier with dendrites on a data set bundled with scikit-learn.

n mode until the validation accuracy plateaus, then p/n cycles that add one dendrite per
wrapped layer up to the cap, then n mode to the end of the epoch budget. The base network alone
and a plain network of about the same size as the grown one are trained for as many epochs, for
comparison. Afterwards the cleaned network is saved with
``ab_save_net``, loaded back into a fresh network with ``load_net``, and its test predictions
are checked against the training network's.

    python examples/dendrite_classifier.py --model cnn --out out/digits
    python examples/dendrite_classifier.py --nproc 2                  # two processes (CPU, gloo)
    torchrun --nproc-per-node 2 examples/dendrite_classifier.py       # the same, started by torchrun
"""
from __future__ import annotations

import argparse
import json
import os
import random
import sys
import tempfile
import time
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Tuple

import numpy as np
import torch
from torch import nn

DATASETS = ("digits", "wine", "breast_cancer", "iris")
MIN_SUBSET = 10


@dataclass
class Data:
    name: str
    x_train: torch.Tensor
    y_train: torch.Tensor
    x_val: torch.Tensor
    y_val: torch.Tensor
    x_test: torch.Tensor
    y_test: torch.Tensor
    classes: int
    image: Optional[Tuple[int, int]] = None  # (height, width) when the rows are images


def load_data(name: str, seed: int, subset: Optional[int] = None) -> Data:
    """Standardised features, split 60/20/20 with a fixed seed."""
    from sklearn import datasets

    loader = {
        "digits": datasets.load_digits,
        "wine": datasets.load_wine,
        "breast_cancer": datasets.load_breast_cancer,
        "iris": datasets.load_iris,
    }[name]
    x, y = loader(return_X_y=True)
    order = np.random.default_rng(seed).permutation(len(x))
    if subset is not None:
        order = order[:subset]
    x, y = x[order].astype(np.float32), y[order]
    n_train, n_val = int(0.6 * len(x)), int(0.2 * len(x))
    mean, std = x[:n_train].mean(0), x[:n_train].std(0) + 1e-6
    x = (x - mean) / std
    t = lambda a, dtype: torch.tensor(a, dtype=dtype)  # noqa: E731
    parts = [(0, n_train), (n_train, n_train + n_val), (n_train + n_val, len(x))]
    tensors = [(t(x[a:b], torch.float32), t(y[a:b], torch.int64)) for a, b in parts]
    return Data(name, *tensors[0], *tensors[1], *tensors[2], classes=int(y.max()) + 1,
                image=(8, 8) if name == "digits" else None)


def build_model(kind: str, data: Data, width: int) -> nn.Module:
    features = data.x_train.shape[1]
    if kind == "mlp":
        return nn.Sequential(nn.Linear(features, width), nn.ReLU(), nn.Linear(width, data.classes))
    if data.image is None:
        raise SystemExit(f"--model cnn needs an image data set (digits), not {data.name}")
    h, w = data.image
    return nn.Sequential(
        nn.Unflatten(1, (1, h, w)),
        nn.Conv2d(1, width, 3, padding=1), nn.ReLU(), nn.MaxPool2d(2),
        nn.Conv2d(width, 2 * width, 3, padding=1), nn.ReLU(),
        nn.Flatten(), nn.Linear(2 * width * (h // 2) * (w // 2), data.classes),
    )


def count(net: nn.Module) -> int:
    return sum(p.numel() for p in net.parameters())


def accuracy(net: nn.Module, x: torch.Tensor, y: torch.Tensor) -> float:
    was_training = net.training
    net.eval()
    with torch.no_grad():
        acc = (net(x).argmax(1) == y).float().mean().item()
    net.train(was_training)
    return acc


def rank_and_world() -> Tuple[int, int]:
    import torch.distributed as dist

    if dist.is_available() and dist.is_initialized():
        return dist.get_rank(), dist.get_world_size()
    return 0, 1


def run_epoch(net, optimizer, data: Data, batch: int, generator: torch.Generator) -> float:
    """One epoch; on several processes each rank takes its share of every global batch (the
    same permutation everywhere, the tail cut so that every rank runs as many steps)."""
    rank, world = rank_and_world()
    order = torch.randperm(len(data.x_train), generator=generator)
    if world > 1:
        # Step i of every rank together covers rows i*batch .. (i+1)*batch of the permutation.
        order = order[:len(order) - len(order) % world][rank::world]
        batch = max(batch // world, 1)
    total, batches = 0.0, 0
    for i in range(0, len(order), batch):
        idx = order[i:i + batch]
        optimizer.zero_grad()
        loss = nn.functional.cross_entropy(net(data.x_train[idx]), data.y_train[idx])
        loss.backward()
        optimizer.step()
        total, batches = total + loss.item(), batches + 1
    return total / max(batches, 1)


@dataclass
class Run:
    epochs: List[dict] = field(default_factory=list)  # per epoch: mode, loss, val
    cycles: List[dict] = field(default_factory=list)  # per n phase end: dendrites, params, val, test
    dendrite_epochs: List[int] = field(default_factory=list)


def train_with_dendrites(args, data: Data, progress) -> Tuple[nn.Module, Run]:
    import arborai.globals_arborai as GAR
    import arborlib.net_toolkit as NT
    from arborai.training import DendriteTrainer

    GAR.pc.set_global_candidates(args.candidates)
    GAR.pc.set_initial_correlation_batches(args.initial_batches)
    GAR.pc.set_debugging_memory_leak(False)
    net = build_model(args.model, data, args.width)
    schedule = {k: v for k, v in dict(n_patience=args.patience, max_p_epochs=args.max_p_epochs).items()
                if v is not None}  # unset: the trainer's defaults
    trainer = DendriteTrainer(net, lambda params: torch.optim.Adam(params, lr=args.lr),
                              max_dendrites=args.max_dendrites, **schedule)
    run = Run()
    generator = torch.Generator().manual_seed(args.seed)

    def record_cycle():
        run.cycles.append(dict(
            dendrites=trainer.num_dendrites, params=NT.ab_count_params(net),
            val=accuracy(net, data.x_val, data.y_val), test=accuracy(net, data.x_test, data.y_test),
        ))

    bar = progress(range(args.epochs), desc="dendrites", unit="epoch")
    for epoch in bar:
        # trainer.model: on several processes, the DDP-wrapped network in n mode
        loss = run_epoch(trainer.model, trainer.optimizer, data, args.batch, generator)
        val = accuracy(net, data.x_val, data.y_val)
        run.epochs.append(dict(mode=trainer.mode, loss=loss, val=val))
        bar.set_postfix(mode=trainer.mode, loss=f"{loss:.4f}", val=f"{val:.4f}", dendrites=trainer.num_dendrites)
        was_n = trainer.mode == "n"
        status = trainer.epoch_end(val)
        if was_n and status.switched:
            record_cycle()  # the end of an n phase: the network as it stands
        if status.restructured:
            run.dendrite_epochs.append(epoch + 1)
            if rank_and_world()[0] == 0:
                bar.write(f"epoch {epoch + 1}: added dendrite {trainer.num_dendrites} to each of "
                          f"{len(trainer.neurons)} layers ({count(net)} parameters in training form)")
        # done only says that no dendrites follow: the neurons train on to the budget
    if trainer.mode == "p":  # out of epochs mid-phase: install what the candidates learned
        trainer.start_n_phase()
        run.dendrite_epochs.append(len(run.epochs))
    record_cycle()
    bar.close()
    net.eval()
    return net, run


def plain_width(args, data: Data, target: int) -> int:
    """The width whose plain network has the parameter count closest to ``target``."""
    return min(range(1, 8 * args.width + 64), key=lambda w: abs(count(build_model(args.model, data, w)) - target))


def train_plain(args, data: Data, width: int, epochs: int, progress) -> Tuple[nn.Module, List[float]]:
    torch.manual_seed(args.seed + 1)
    net = build_model(args.model, data, width)
    optimizer = torch.optim.Adam(net.parameters(), lr=args.lr)
    generator = torch.Generator().manual_seed(args.seed)
    history = []
    bar = progress(range(epochs), desc="plain", unit="epoch")
    for _ in bar:
        loss = run_epoch(net, optimizer, data, args.batch, generator)
        history.append(accuracy(net, data.x_val, data.y_val))
        bar.set_postfix(loss=f"{loss:.4f}", val=f"{history[-1]:.4f}")
    bar.close()
    net.eval()
    return net, history


def save_and_check(args, data: Data, net: nn.Module) -> Dict[str, object]:
    """Saves the cleaned network, loads it into a fresh one and compares test predictions."""
    import arborlib.net_toolkit as NT
    import arborlib.slim_restore as SR
    from arborai.training import neuron_modules, wrap_network

    name = f"{data.name}_{args.model}"
    NT.ab_save_net(net, args.out, name)
    # A fresh network of the same structure, none of the trained weights in it.
    fresh = build_model(args.model, data, args.width)
    wrap_network(fresh)
    for neuron in neuron_modules(fresh):
        neuron.grow_dendrites(neuron_modules(net)[0].dendrite_module.num_dendrites)
    loaded = NT.load_net(NT.clean_net(fresh), args.out, name + "_arb")
    SR.doing_threading = args.threading
    with torch.no_grad():
        expected = net(data.x_test)
        got = loaded(data.x_test)
    SR.doing_threading = False
    return dict(
        path=os.path.join(args.out, name + "_arb.pt"),
        same_predictions=bool(torch.equal(expected.argmax(1), got.argmax(1))),
        max_abs_diff=float((expected - got).abs().max()),
        loaded_test=float((got.argmax(1) == data.y_test).float().mean()),
    )


def plot(path: str, run: Run, plain_history: List[float], title: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 4.5))
    epochs = np.arange(1, len(run.epochs) + 1)
    ax.plot(epochs, [e["val"] for e in run.epochs], label="with dendrites", color="tab:green")
    ax.plot(np.arange(1, len(plain_history) + 1), plain_history, label="plain network", color="tab:gray", alpha=0.8)
    in_p = [e["mode"] == "p" for e in run.epochs]
    start = None
    for i, p in enumerate(in_p + [False]):
        if p and start is None:
            start = i
        if not p and start is not None:
            ax.axvspan(start + 0.5, i + 0.5, color="tab:orange", alpha=0.15,
                       label="p mode (candidates train)" if start == in_p.index(True) else None)
            start = None
    for k, e in enumerate(run.dendrite_epochs):
        ax.axvline(e + 0.5, color="tab:purple", linestyle="--", label="dendrite added" if k == 0 else None)
    ax.set_xlabel("epoch")
    ax.set_ylabel("validation accuracy")
    ax.set_title(title)
    ax.legend(loc="lower right")
    ax.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


def table(run: Run, base: Dict[str, float], plain: Dict[str, float]) -> str:
    lines = [f"{'cycle':>5}  {'dendrites':>9}  {'params':>7}  {'val acc':>7}  {'test acc':>8}"]
    for i, c in enumerate(run.cycles):
        lines.append(f"{i:>5}  {c['dendrites']:>9}  {c['params']:>7}  {c['val']:>7.4f}  {c['test']:>8.4f}"
                     + ("   (D: end of the budget)" if i == len(run.cycles) - 1 else ""))
    for name, arm, note in (("base", base, "base network alone"), ("plain", plain, "same size as D")):
        lines.append(f"{name:>5}  {'-':>9}  {arm['params']:>7}  {arm['val']:>7.4f}  {arm['test']:>8.4f}"
                     f"   ({note}, {arm['epochs']} epochs)")
    return "\n".join(lines)


def at_least(low: float, kind: type = int, high: Optional[float] = None):
    """An argparse type: a number of `kind` in [low, high] (argparse exits with status 2 otherwise)."""

    def parse(text: str):
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"expected {'an integer' if kind is int else 'a number'}, got {text!r}") from None
        if not value >= low:  # also refuses nan
            raise argparse.ArgumentTypeError(f"must be at least {low}, got {text}")
        if high is not None and value > high:
            raise argparse.ArgumentTypeError(f"must be at most {high}, got {text}")
        return value

    return parse


def above_zero(text: str) -> float:
    value = at_least(0.0, float)(text)
    if value == 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive finite number, got {text}")
    return value


def parse_args(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    p.add_argument("--dataset", choices=DATASETS, default="digits", help="bundled scikit-learn data set")
    p.add_argument("--model", choices=("mlp", "cnn"), default="mlp", help="network to grow (cnn needs digits)")
    p.add_argument("--seed", type=at_least(0, high=2**32 - 1), default=0)  # numpy's seed range
    p.add_argument("--epochs", type=at_least(1), default=150,
                   help="the epoch budget of every network, n and p phases together")
    p.add_argument("--candidates", type=at_least(1), default=4, help="candidate dendrites trained per layer")
    p.add_argument("--max-dendrites", type=at_least(0), default=3, help="dendrites per layer at most")
    p.add_argument("--patience", type=at_least(1), default=None,
                   help="n-mode epochs without improvement before a p phase (default: the trainer's)")
    p.add_argument("--max-p-epochs", type=at_least(1), default=None, help="longest p phase (default: the trainer's)")
    p.add_argument("--initial-batches", type=at_least(0), default=20,
                   help="batches averaged plainly before candidate statistics become running averages")
    p.add_argument("--width", type=at_least(1), default=4,
                   help="hidden units (MLP) or first conv channels (CNN); small, so the base network's limit shows")
    p.add_argument("--lr", type=above_zero, default=3e-3)
    p.add_argument("--batch", type=at_least(1), default=64)
    # Fewer samples leave the validation or test split empty.
    p.add_argument("--subset", type=at_least(MIN_SUBSET), default=None, help="use only this many samples (quick runs)")
    p.add_argument("--threading", action="store_true", help="threaded inference when checking the saved model")
    p.add_argument("--out", default="out", help="folder for the checkpoint, the plot and the summary")
    p.add_argument("--quiet", action="store_true", help="no progress bars")
    p.add_argument("--debug", action="store_true",
                   help="stop in the debugger (sys.breakpointhook, see PYTHONBREAKPOINT) on NaN and similar faults; "
                        "off by default, so an unattended run never waits for input")
    p.add_argument("--nproc", type=int, default=1,
                   help="train with this many processes (CPU, gloo), each on its share of every batch")
    args = p.parse_args(argv)
    if args.nproc < 1:
        p.error("--nproc must be at least 1")
    return args


def writable_folder(folder: str) -> None:
    """Creates `folder` and proves a file can be written there, before any training; exits with
    a one-line error otherwise."""
    try:
        os.makedirs(folder, exist_ok=True)
        with tempfile.TemporaryFile(dir=folder):
            pass
    except OSError as error:
        sys.exit(f"error: cannot write to the output folder {folder!r}: {error.strerror or error}")


def main(argv=None) -> Optional[Dict[str, object]]:
    """Runs the job; with --nproc N (or under torchrun) the dendrite training runs on N
    processes and rank 0 alone compares, plots, saves and returns the result."""
    args = parse_args(argv)
    writable_folder(args.out)
    # The debugger stop reads PYTHONBREAKPOINT at each call: "0" turns it into a no-op.
    before = os.environ.get("PYTHONBREAKPOINT")
    if not args.debug:
        os.environ["PYTHONBREAKPOINT"] = "0"
    try:
        return distributed(args)
    finally:
        if before is None:
            os.environ.pop("PYTHONBREAKPOINT", None)
        else:
            os.environ["PYTHONBREAKPOINT"] = before


def distributed(args) -> Optional[Dict[str, object]]:
    """`run` in this process, or on --nproc spawned processes, or as one rank under torchrun."""
    import torch.distributed as dist

    if int(os.environ.get("WORLD_SIZE", "1")) > 1 and not dist.is_initialized():  # started by torchrun
        dist.init_process_group("gloo")
        try:
            return run(args)
        finally:
            dist.destroy_process_group()
    if args.nproc > 1:
        import socket

        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        torch.multiprocessing.spawn(_spawned, args=(args, port), nprocs=args.nproc, join=True)
        with open(os.path.join(args.out, f"{args.dataset}_{args.model}_summary.json")) as f:
            return json.load(f)
    return run(args)


def _spawned(rank: int, args, port: int) -> None:
    import torch.distributed as dist

    dist.init_process_group("gloo", init_method=f"tcp://127.0.0.1:{port}", rank=rank, world_size=args.nproc)
    try:
        run(args)
    finally:
        dist.destroy_process_group()


def run(args) -> Optional[Dict[str, object]]:
    from tqdm import tqdm

    rank, world = rank_and_world()

    def progress(iterable, **kw):
        # None: bars only on a terminal, so logs stay readable; one process draws them
        disable = True if args.quiet or rank else None
        return tqdm(iterable, disable=disable, leave=False, dynamic_ncols=True, **kw)

    started = time.time()
    random.seed(args.seed)
    np.random.seed(args.seed)
    torch.manual_seed(args.seed)
    data = load_data(args.dataset, args.seed, args.subset)
    if rank == 0:
        print(f"{data.name}: {len(data.x_train)} train / {len(data.x_val)} validation / {len(data.x_test)} test, "
              f"{data.classes} classes; model {args.model}, {args.candidates} candidates per layer"
              + (f"; {world} processes" if world > 1 else ""))

    net, run = train_with_dendrites(args, data, progress)
    if rank != 0:
        return None  # the ranks hold identical networks: rank 0 reports for all
    final = run.cycles[-1]

    def arm(width):
        plain_net, history = train_plain(args, data, width, len(run.epochs), progress)
        return dict(params=count(plain_net), val=accuracy(plain_net, data.x_val, data.y_val),
                    test=accuracy(plain_net, data.x_test, data.y_test), epochs=len(history)), history

    base, _ = arm(args.width)
    plain, plain_history = arm(plain_width(args, data, final["params"]))

    summary = table(run, base, plain)
    print("\n" + summary)
    plot_path = os.path.join(args.out, f"{data.name}_{args.model}_validation.png")
    plot(plot_path, run, plain_history, f"{data.name}, {args.model}: validation accuracy")
    check = save_and_check(args, data, net)
    elapsed = time.time() - started
    print(f"\ncheckpoint: {check['path']}")
    print(f"reloaded network: test predictions {'equal' if check['same_predictions'] else 'DIFFER'} "
          f"(largest output difference {check['max_abs_diff']:.2e}, test accuracy {check['loaded_test']:.4f})")
    print(f"plot: {plot_path}")
    result = dict(args=vars(args), cycles=run.cycles, base=base, plain=plain, check=check, seconds=round(elapsed, 1),
                  epochs=len(run.epochs))
    summary_path = os.path.join(args.out, f"{data.name}_{args.model}_summary.json")
    with open(summary_path, "w") as f:
        json.dump(result, f, indent=2)
    print(f"summary: {summary_path}\nwall time: {elapsed:.1f} s")
    if not check["same_predictions"]:
        print("error: the reloaded network does not reproduce the training network", file=sys.stderr)
        sys.exit(1)
    return result


if __name__ == "__main__":
    main()
