"""Learning benchmark: do dendrites pay off?

Three arms per task and seed, each trained for the same number of epochs with Adam:

- D: the base network with dendrites, grown by ``DendriteTrainer`` (its defaults, 3 dendrites);
- B: the same base network trained alone;
- P: a plain one-hidden-layer MLP whose width gives it D's final parameter count.

Tasks: digits at base widths 4 and 16, iris at width 4, and "circle": points in a square, inside
or outside a circle of half its area, on a one-hidden-layer ReLU base of width 2: two lines cannot
bound a disc, so the base cannot fit it, while a deeper network (which dendrites make of it) can.

Prints one table of test accuracy (mean ± sd over seeds), D - B with the sd of the per-seed
difference, and parameter counts. Seeds run in ``--jobs`` processes of one thread each; on an idle
two-core machine the default run takes about 2 minutes.

    python bench/bench_learning.py                          # the table
    python bench/bench_learning.py --trainer '{"max_p_epochs": 20}' --tasks digits4
    python bench/bench_learning.py --trainer '{"search": true}'   # install scale searched on the loss
"""
from __future__ import annotations

import argparse
import json
import multiprocessing as mp
import statistics
import time
from typing import Dict, List

import numpy as np
import torch
from torch import nn

TASKS = {  # name: (data set, base width)
    "digits4": ("digits", 4),
    "digits16": ("digits", 16),
    "iris": ("iris", 4),
    "circle": ("circle", 2),
}


def load(name: str, seed: int):
    """Standardised features, split 60/20/20 by ``seed``: (train, val, test) pairs and the class count."""
    if name == "circle":
        x = np.random.default_rng(10_000 + seed).uniform(-1, 1, (1500, 2))
        y = ((x ** 2).sum(1) < 2 / np.pi).astype(np.int64)
    else:
        from sklearn import datasets

        x, y = {"digits": datasets.load_digits, "iris": datasets.load_iris}[name](return_X_y=True)
    order = np.random.default_rng(seed).permutation(len(x))
    x, y = x[order].astype(np.float32), y[order]
    n_train, n_val = int(0.6 * len(x)), int(0.2 * len(x))
    mean, std = x[:n_train].mean(0), x[:n_train].std(0) + 1e-6
    x = torch.tensor((x - mean) / std)
    y = torch.tensor(y, dtype=torch.int64)
    cuts = [(0, n_train), (n_train, n_train + n_val), (n_train + n_val, len(x))]
    return [(x[a:b], y[a:b]) for a, b in cuts], int(y.max()) + 1


def mlp(features: int, width: int, classes: int) -> nn.Module:
    return nn.Sequential(nn.Linear(features, width), nn.ReLU(), nn.Linear(width, classes))


def accuracy(net: nn.Module, part) -> float:
    net.eval()
    with torch.no_grad():
        acc = (net(part[0]).argmax(1) == part[1]).float().mean().item()
    net.train()
    return acc


def train_loss(net: nn.Module, part) -> float:
    net.eval()
    with torch.no_grad():
        loss = nn.functional.cross_entropy(net(part[0]), part[1]).item()
    net.train()
    return loss


def epoch(net, optimizer, part, batch: int, generator) -> float:
    x, y = part
    order = torch.randperm(len(x), generator=generator)
    total = 0.0
    for i in range(0, len(x), batch):
        idx = order[i:i + batch]
        optimizer.zero_grad()
        loss = nn.functional.cross_entropy(net(x[idx]), y[idx])
        loss.backward()
        optimizer.step()
        total += loss.item() * len(idx)
    return total / len(x)


def run_d(cfg, parts, classes) -> Dict[str, float]:
    import arborai.globals_arborai as GAR
    import arborlib.net_toolkit as NT
    from arborai.training import DendriteTrainer

    GAR.pc.reset()
    GAR.arb_tracker.member_vars["mode"] = "n"
    GAR.pc.set_global_candidates(cfg["candidates"])
    GAR.pc.set_initial_correlation_batches(cfg["initial_batches"])
    GAR.pc.set_debugging_memory_leak(False)
    if cfg["activation"]:
        GAR.pc.set_arb_forward_function(getattr(torch, cfg["activation"]))
    torch.manual_seed(cfg["seed"])
    net = mlp(parts[0][0].shape[1], cfg["width"], classes)
    extra = dict(cfg["trainer"])
    if extra.pop("search", False):  # line search of the install on the training loss
        extra["install_loss"] = lambda: nn.functional.cross_entropy(net(parts[0][0]), parts[0][1])
    if cfg["live"] is not None:
        extra["learn_dendrites_live"] = cfg["live"]
    if cfg["candidate_lr"]:
        extra["candidate_optimizer_factory"] = lambda ps: torch.optim.Adam(ps, lr=cfg["candidate_lr"])
    trainer = DendriteTrainer(net, lambda ps: torch.optim.Adam(ps, lr=cfg["lr"]),
                              max_dendrites=cfg["dendrites"], **extra)
    generator = torch.Generator().manual_seed(cfg["seed"])
    used = 0
    # Relative change of the training loss from the start of each p phase to just after its
    # install: with live dendrites, slot 0 already lowers the loss during the phase.
    jumps = []
    losses = []
    before = None
    for _ in range(cfg["epochs"]):
        losses.append(epoch(net, trainer.optimizer, parts[0], cfg["batch"], generator))
        used += 1
        status = trainer.epoch_end(accuracy(net, parts[1]))
        if status.switched and status.mode == "p":
            before = train_loss(net, parts[0])
        if status.restructured:
            jumps.append(train_loss(net, parts[0]) / before - 1)
        if status.done and cfg["stop_at_done"]:
            break
    if trainer.mode == "p":  # out of epochs mid-phase: install what the candidates learned
        trainer.start_n_phase()
    net.eval()
    GAR.pc.set_count_training_params(False)
    return dict(test=accuracy(net, parts[2]), params=NT.ab_count_params(net), epochs=used,
                dendrites=trainer.num_dendrites, loss=losses[-1], jump=statistics.mean(jumps) if jumps else 0.0)


def run_plain(cfg, parts, classes, width: int) -> Dict[str, float]:
    torch.manual_seed(cfg["seed"] + 1)
    net = mlp(parts[0][0].shape[1], width, classes)
    optimizer = torch.optim.Adam(net.parameters(), lr=cfg["lr"])
    generator = torch.Generator().manual_seed(cfg["seed"])
    for _ in range(cfg["epochs"]):
        loss = epoch(net, optimizer, parts[0], cfg["batch"], generator)
    return dict(test=accuracy(net, parts[2]), params=sum(p.numel() for p in net.parameters()), loss=loss)


def job(cfg) -> Dict[str, object]:
    torch.set_num_threads(1)
    started = time.time()
    parts, classes = load(cfg["data"], cfg["seed"])
    features = parts[0][0].shape[1]
    d = run_d(cfg, parts, classes)
    b = run_plain(cfg, parts, classes, cfg["width"])
    count = lambda w: sum(p.numel() for p in mlp(features, w, classes).parameters())  # noqa: E731
    width = min(range(1, 2000), key=lambda w: abs(count(w) - d["params"]))
    p = run_plain(cfg, parts, classes, width)
    return dict(task=cfg["task"], seed=cfg["seed"], D=d, B=b, P=p, seconds=time.time() - started)


def summarise(results: List[Dict[str, object]], tasks: List[str]) -> str:
    ms = lambda v: f"{statistics.mean(v):.3f} ± {statistics.stdev(v) if len(v) > 1 else 0:.3f}"  # noqa: E731
    lines = ["| task | D | B | P | D − B (sd) | D − P (sd) | params D / B / P | D epochs, dendrites "
             "| loss change, p start to install |",
             "|---|---|---|---|---|---|---|---|---|"]
    for task in tasks:
        rs = [r for r in results if r["task"] == task]
        acc = {arm: [r[arm]["test"] for r in rs] for arm in "DBP"}
        params = {arm: round(statistics.mean(r[arm]["params"] for r in rs)) for arm in "DBP"}
        db = [d - b for d, b in zip(acc["D"], acc["B"])]
        dp = [d - p for d, p in zip(acc["D"], acc["P"])]
        lines.append(
            f"| {task} | {ms(acc['D'])} | {ms(acc['B'])} | {ms(acc['P'])} | {ms(db)} | {ms(dp)} | "
            f"{params['D']} / {params['B']} / {params['P']} | "
            f"{statistics.mean(r['D']['epochs'] for r in rs):.0f}, "
            f"{statistics.mean(r['D']['dendrites'] for r in rs):.1f} | "
            f"{100 * statistics.mean(r['D']['jump'] for r in rs):+.1f}% |")
    return "\n".join(lines)


def main(argv=None) -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--tasks", nargs="+", default=list(TASKS), choices=list(TASKS))
    p.add_argument("--seeds", type=int, default=5)
    p.add_argument("--epochs", type=int, default=120, help="the budget of every arm")
    p.add_argument("--dendrites", type=int, default=3)
    p.add_argument("--candidates", type=int, default=4)
    p.add_argument("--initial-batches", type=int, default=20)
    p.add_argument("--lr", type=float, default=3e-3)
    p.add_argument("--batch", type=int, default=64)
    p.add_argument("--activation", default=None, help="torch function for dendrite outputs (default: the companion's)")
    p.add_argument("--live", type=int, choices=(0, 1), default=None,
                   help="learn_dendrites_live off/on (default: the trainer's)")
    p.add_argument("--candidate-lr", type=float, default=None,
                   help="Adam learning rate of the candidates (default: --lr)")
    p.add_argument("--trainer", default="{}", help="JSON of extra DendriteTrainer arguments")
    p.add_argument("--stop-at-done", action="store_true",
                   help="D stops when the trainer reports done (the recipe before done stopped meaning the end)")
    p.add_argument("--jobs", type=int, default=2)
    p.add_argument("--json", default=None, help="write the per-seed results here")
    args = p.parse_args(argv)
    base = dict(epochs=args.epochs, dendrites=args.dendrites, candidates=args.candidates, lr=args.lr,
                batch=args.batch, initial_batches=args.initial_batches, activation=args.activation,
                trainer=json.loads(args.trainer), live=args.live, candidate_lr=args.candidate_lr,
                stop_at_done=args.stop_at_done)
    cfgs = [dict(base, task=t, data=TASKS[t][0], width=TASKS[t][1], seed=s)
            for t in args.tasks for s in range(args.seeds)]
    started = time.time()
    with mp.get_context("fork").Pool(args.jobs) as pool:
        results = pool.map(job, cfgs, chunksize=1)
    print(summarise(results, args.tasks))
    print(f"\n{args.seeds} seeds, {args.epochs} epochs per arm, {args.jobs} processes: "
          f"{time.time() - started:.0f} s wall, {sum(r['seconds'] for r in results):.0f} s of work")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(dict(args=vars(args), results=results), f, indent=1)


if __name__ == "__main__":
    main()
