"""Times one p-mode training step (zero_grad, forward, backward, step) on 2 processes (gloo,
CPU, each half of the global batch) against 1 process on the whole global batch, and counts
the collective calls per step.

    .venv/bin/python bench/bench_distributed_p_step.py [--batch 256] [--hidden 128] [--candidates 4]

Both forms run in the same processes, in alternating rounds: rank 0 holds a single-process
trainer (built before the process group exists) beside the distributed one; while it times
the single-process rounds, rank 1 waits. One thread per process. Prints the medians per step
and their ratio.
"""
import argparse
import os
import socket
import statistics
import time

import torch
import torch.distributed as dist
from torch import nn
from torch.nn import functional as F

import arborai.globals_arborai as GAR
from arborai.training import DendriteTrainer

COUNTED = ("all_reduce", "broadcast", "all_gather", "reduce_scatter", "barrier")


def build(args):
    torch.manual_seed(0)
    net = nn.Sequential(nn.Linear(64, args.hidden), nn.ReLU(), nn.Linear(args.hidden, args.hidden), nn.ReLU(),
                        nn.Linear(args.hidden, 10))
    trainer = DendriteTrainer(net, lambda ps: torch.optim.Adam(ps, lr=1e-3))
    trainer.start_p_phase()
    return net, trainer


def timed_steps(net, trainer, x, y, steps):
    opt = trainer.optimizer
    t0 = time.perf_counter()
    for i in range(steps):
        opt.zero_grad()
        F.cross_entropy(net(x[i % len(x)]), y[i % len(y)]).backward()
        opt.step()
    return (time.perf_counter() - t0) / steps


def worker(rank, port, args):
    torch.set_num_threads(1)
    GAR.pc.set_global_candidates(args.candidates)
    GAR.pc.set_debugging_memory_leak(False)
    g = torch.Generator().manual_seed(1)
    x = torch.randn(8, args.batch, 64, generator=g)
    y = torch.randint(0, 10, (8, args.batch), generator=g)
    single = build(args) if rank == 0 else None  # no process group yet: the single-process path
    dist.init_process_group("gloo", init_method=f"tcp://127.0.0.1:{port}", rank=rank, world_size=2)
    try:
        net, trainer = build(args)
        half = args.batch // 2
        xs, ys = x[:, rank * half:(rank + 1) * half], y[:, rank * half:(rank + 1) * half]
        calls = {name: 0 for name in COUNTED}
        waited = [0.0]  # seconds inside collectives (transfer plus waiting for the other rank)
        for name in COUNTED:
            original = getattr(dist, name)

            def counting(*a, _name=name, _original=original, **k):
                calls[_name] += 1
                t0 = time.perf_counter()
                result = _original(*a, **k)
                waited[0] += time.perf_counter() - t0
                return result
            setattr(dist, name, counting)
        timed_steps(net, trainer, xs, ys, args.warmup)
        before = dict(calls)
        timed_steps(net, trainer, xs, ys, 10)
        per_step = {k: (calls[k] - before[k]) / 10 for k in COUNTED if calls[k] != before[k]}
        if rank == 0:
            timed_steps(*single, x, y, args.warmup)
        two, one, inside = [], [], []
        for _ in range(args.rounds):
            dist.barrier()
            start = waited[0]
            two.append(timed_steps(net, trainer, xs, ys, args.steps))
            inside.append((waited[0] - start) / args.steps)
            dist.barrier()
            if rank == 0:
                one.append(timed_steps(*single, x, y, args.steps))
            dist.barrier()
        if rank == 0:
            a, b = statistics.median(two), statistics.median(one)
            print(f"global batch {args.batch}, MLP 64-{args.hidden}-{args.hidden}-10, {args.candidates} candidates "
                  f"per layer, 1 thread per process")
            print(f"collective calls per p step (2 ranks): {per_step}")
            print(f"1 process, batch {args.batch}:       {b * 1e3:.3f} ms per step")
            print(f"2 processes, {args.batch // 2} rows each: {a * 1e3:.3f} ms per step ({a / b:.2f}x), "
                  f"of which {statistics.median(inside) * 1e3:.3f} ms inside the collectives")
    finally:
        dist.destroy_process_group()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--batch", type=int, default=256)
    parser.add_argument("--hidden", type=int, default=128)
    parser.add_argument("--candidates", type=int, default=4)
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--steps", type=int, default=20)
    parser.add_argument("--warmup", type=int, default=20)
    args = parser.parse_args()
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    os.environ.pop("RANK", None)
    torch.multiprocessing.spawn(worker, args=(port, args), nprocs=2, join=True)


if __name__ == "__main__":
    main()
