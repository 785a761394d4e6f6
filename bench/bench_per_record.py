"""Per-record engine benchmark: a companion that makes exactly the per-record calls of one
p-mode iteration, against a hand-written minimal PyTorch step; host reads per p step of the
per-record loop and of the batched driver; the statistics step against plain ATen ops.

    .venv/bin/python bench/bench_per_record.py [--rounds 5] [--steps 10] [--nets big,cnn]

The per-record loop wraps the first two layers of the network with one candidate each:
forward_candidates in every forward, filter_backward_ab in backward, apply_ab_grads before the
optimizer step and apply_ab_zero at zero_grad (plain SGD). The hand-written step does the same
math (candidate on the cut input, error by a hook, loss gradient from the running covariance's
sign, moments and running averages) in plain PyTorch. One thread, alternating rounds in one
process; each figure is the median over rounds of the per-step median.
Targets: per-record / hand <= 1.10 (MLP 784-256-256-10 and CNN); statistics step
(apply_ab_grads + apply_ab_zero) <= 0.75x plain ops; <= 2 host reads per wrapped layer per p
step on the per-record path, 0 on the batched one.
"""
import argparse

import torch
from torch import nn
from torch.nn import functional as F

import arborai.globals_arborai as GAR
import arborai.modules_arborai as MAR
import arborlib.dendrite_engine as DE
from arborai.training import DendriteTrainer
from bench_candidate_step import NETS, HandWritten, rounds_of, set_count, statistics_rounds, STAT_SHAPES


def sgd(params):
    return torch.optim.SGD(params, lr=1e-3)


class PerRecordLoop:
    """The per-record companion calls on the first `wrap` layers of a frozen network."""

    def __init__(self, build, wrap=2):
        set_count(1)
        torch.manual_seed(0)
        self.net = build()
        for p in self.net.parameters():
            p.requires_grad_(False)
        self.modules = []
        for i, layer in enumerate([m for m in self.net.modules() if isinstance(m, (nn.Linear, nn.Conv2d))][:wrap]):
            c = layer.weight.shape[0]
            rank = 2 if isinstance(layer, nn.Linear) else 4
            dm = MAR.DendriteModule(f"layer{i}", c, 1, [-1, c] + [-1] * (rank - 2))
            dm.candidate_module = nn.ModuleList([MAR.fresh_copy(layer).requires_grad_()])
            dm.mode = "p"
            view = [-1 if d == 1 else 1 for d in range(rank)]
            layer.register_forward_hook(self._hook(dm, view))
            self.modules.append(dm)
        self.opt = sgd([p for dm in self.modules for p in dm.candidate_module.parameters()])

    @staticmethod
    def _hook(dm, view):
        def hook(module, inputs, out):
            DE.forward_candidates(dm, view, [], *inputs)
            if not out.requires_grad:  # the frozen first layer
                out = out.detach().requires_grad_()
            out.register_hook(lambda grad: DE.filter_backward_ab(grad, dm.dendrite_values))
            return out
        return hook

    def enter(self):
        set_count(1)
        GAR.arb_tracker.member_vars["mode"] = "p"

    def step(self, x, y):
        for dm in self.modules:
            DE.apply_ab_zero(dm)
        self.opt.zero_grad()
        F.cross_entropy(self.net(x), y).backward()
        for dm in self.modules:
            DE.apply_ab_grads(dm)
        self.opt.step()


class Hand(HandWritten):
    def __init__(self, build):
        super().__init__(build, 1, wrap=2, optimizer=sgd, act=GAR.pc.get_arb_forward_function())

    def enter(self):
        set_count(1)
        GAR.arb_tracker.member_vars["mode"] = "n"


class Driver:
    """The stand-in driver's p step (plain SGD) through one engine, output layer unwrapped."""

    def __init__(self, build, engine):
        set_count(1)
        torch.manual_seed(0)
        self.net = build()
        kwargs = {} if engine == "batched" else {"candidate_engine": engine}
        wrapped = [n for n, m in self.net.named_modules() if isinstance(m, (nn.Linear, nn.Conv2d))]
        trainer = DendriteTrainer(self.net, sgd, include=wrapped[:2], **kwargs)
        trainer.start_p_phase()
        self.opt = trainer.optimizer

    def enter(self):
        set_count(1)
        GAR.arb_tracker.member_vars["mode"] = "p"

    def step(self, x, y):
        self.opt.zero_grad()
        F.cross_entropy(self.net(x), y).backward()
        self.opt.step()


def host_reads(v, x, y, steps=3):
    """aten::_local_scalar_dense + aten::is_nonzero per step."""
    v.enter()
    for _ in range(2):
        v.step(x, y)
    with torch.profiler.profile(activities=[torch.profiler.ProfilerActivity.CPU]) as prof:
        for _ in range(steps):
            v.step(x, y)
    counts = {e.key: e.count for e in prof.key_averages()}
    return (counts.get("aten::_local_scalar_dense", 0) + counts.get("aten::is_nonzero", 0)) / steps


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--steps", type=int, default=10)
    parser.add_argument("--nets", default="big,cnn")
    parser.add_argument("--skip-stats", action="store_true")
    args = parser.parse_args()
    torch.set_num_threads(1)
    has_engine_option = "candidate_engine" in DendriteTrainer.__init__.__kwdefaults__
    driver_engines = ["batched"] + (["per_record"] if has_engine_option else [])
    print(f"torch {torch.__version__}, {torch.get_num_threads()} thread, {args.rounds} rounds x {args.steps} steps, "
          "times in ms (median of round medians); two wrapped layers, one candidate each, SGD")
    for key in args.nets.split(","):
        label, build, in_shape = NETS[key]
        torch.manual_seed(1)
        x, y = torch.randn(in_shape), torch.randint(0, 10, (in_shape[0],))
        variants = {"per-record": PerRecordLoop(build), "hand": Hand(build)}
        variants.update({f"driver {e}": Driver(build, e) for e in driver_engines})
        ms = rounds_of(variants, x, y, args.rounds, args.steps)
        print(f"{label}: " + ", ".join(f"{n} {t:.2f}" for n, t in ms.items())
              + f"; per-record / hand {ms['per-record'] / ms['hand']:.2f}", flush=True)
        reads = {n: host_reads(v, x, y) for n, v in variants.items()}
        print("  host reads per p step: " + ", ".join(f"{n} {r:.0f}" for n, r in reads.items())
              + " (two wrapped layers; the per_record driver adds check_new_best_score per step)", flush=True)
        GAR.pc.reset()
        GAR.arb_tracker.member_vars["mode"] = "n"
    if args.skip_stats:
        return
    for shape in STAT_SHAPES:
        ms = statistics_rounds(shape, args.rounds, args.steps)
        ref = ms["plain ops"]
        print(f"statistics step {shape}: " + ", ".join(
            f"{name} {t:.3f} ms ({t / ref:.2f}x plain ops time)" for name, t in ms.items()), flush=True)


if __name__ == "__main__":
    main()
