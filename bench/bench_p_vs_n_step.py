"""Times one training step (zero_grad, forward, backward, step) of a small MLP on the
digits data in n mode and in p mode, with 1 and with 4 candidates per layer.

    .venv/bin/python bench/bench_p_vs_n_step.py [--repeats 300] [--threads N] [--hidden 32]

Prints the median time per step of each setting and its ratio to n mode. In p mode a step
also runs the candidates' forward pass and one candidate step per captured error.
"""
import argparse
import statistics
import time

import torch
from sklearn.datasets import load_digits
from torch import nn
from torch.nn import functional as F

import arborai.globals_arborai as GAR
from arborai.training import DendriteTrainer

BATCH = 64


def data():
    x, y = load_digits(return_X_y=True)
    return torch.tensor(x / 16.0, dtype=torch.float32), torch.tensor(y)


def step_times(candidates, mode, hidden, x, y, repeats, warmup=20):
    GAR.pc.reset()
    GAR.pc.set_global_candidates(candidates)
    torch.manual_seed(0)
    net = nn.Sequential(nn.Linear(64, hidden), nn.ReLU(), nn.Linear(hidden, 10))
    trainer = DendriteTrainer(net, lambda ps: torch.optim.Adam(ps, lr=1e-3))
    if mode == "p":
        trainer.start_p_phase()
    opt = trainer.optimizer
    batches = len(x) // BATCH
    times = []
    for i in range(warmup + repeats):
        b = i % batches
        xb, yb = x[b * BATCH:(b + 1) * BATCH], y[b * BATCH:(b + 1) * BATCH]
        t0 = time.perf_counter()
        opt.zero_grad()
        F.cross_entropy(net(xb), yb).backward()
        opt.step()
        if i >= warmup:
            times.append(time.perf_counter() - t0)
    GAR.pc.reset()
    GAR.arb_tracker.member_vars["mode"] = "n"
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=300)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--hidden", type=int, default=32)
    args = parser.parse_args()
    torch.set_num_threads(args.threads)
    x, y = data()
    print(f"digits MLP 64-{args.hidden}-10, batch {BATCH}, {args.repeats} steps, "
          f"{torch.get_num_threads()} thread(s), torch {torch.__version__}")
    n = step_times(1, "n", args.hidden, x, y, args.repeats)
    print(f"{'setting':<22}{'median step (us)':>18}{'ratio to n':>12}")
    print(f"{'n mode':<22}{n * 1e6:>18.1f}{1.0:>12.2f}")
    for candidates in (1, 4):
        p = step_times(candidates, "p", args.hidden, x, y, args.repeats)
        label = f"p mode, {candidates} candidate{'s' if candidates > 1 else ''}"
        print(f"{label:<22}{p * 1e6:>18.1f}{p / n:>12.2f}")


if __name__ == "__main__":
    main()
