"""Candidate-step benchmark: what p mode costs against a plain step and against the same
math written by hand, on three networks; the statistics step against plain ATen ops; host
reads per step.

    .venv/bin/python bench/bench_candidate_step.py [--rounds 5] [--steps 10] [--nets mlp,big,cnn]
        [--foreach | --fused]

The driver's p-mode optimizer uses the fused Adam kernel when the factory leaves the choice open,
as the one here does; --fused gives every variant, the hand-written ones too, that kernel.

One thread. Every variant of one network is built first, then the variants run in
alternating rounds of ``--steps`` steps, so that a busy machine slows all of them alike;
each figure is the median over rounds of the per-step median, and every ratio is taken
between figures of this one run.

Variants per network (Adam, batch as listed):
  plain      the unwrapped network
  n          wrapped by DendriteTrainer, n mode
  p K=1/4    the driver's p step with 1 and 4 candidates per wrapped layer
  hand K=1/4 a minimal p step in plain PyTorch: the K candidates of a layer stacked into one
             layer, one backward, per-neuron moments and running averages, optimizer step
Targets: p / hand <= 1.10 (MLP, CNN), <= 1.5 (small MLP); n / plain <= 1.05 (1.15 small MLP);
statistics step >= 2x plain ops; <= 1 host read per p step.
"""
import argparse
import statistics
import time

import torch
from torch import nn
from torch.nn import functional as F

import arborai.globals_arborai as GAR
import arborai.modules_arborai as MAR
import arborlib.dendrite_engine as DE
from arborai.training import DendriteTrainer


class CNN(nn.Module):
    def __init__(self):
        super().__init__()
        self.c1 = nn.Conv2d(3, 16, 3, padding=1)
        self.c2 = nn.Conv2d(16, 32, 3, padding=1)
        self.fc = nn.Linear(32 * 8 * 8, 10)

    def forward(self, x):
        x = F.max_pool2d(torch.relu(self.c1(x)), 2)
        x = F.max_pool2d(torch.relu(self.c2(x)), 2)
        return self.fc(x.flatten(1))


def mlp(*widths):
    layers = []
    for a, b in zip(widths[:-1], widths[1:]):
        layers += [nn.Linear(a, b), nn.ReLU()]
    return nn.Sequential(*layers[:-1])


NETS = {
    "mlp": ("MLP 64-32-32-10, batch 64", lambda: mlp(64, 32, 32, 10), (64, 64)),
    "big": ("MLP 784-256-256-10, batch 256", lambda: mlp(784, 256, 256, 10), (256, 784)),
    "cnn": ("CNN conv3-16,pool,conv16-32,pool,linear, 3x32x32, batch 64", CNN, (64, 3, 32, 32)),
}


FOREACH = None  # --foreach: one multi-tensor Adam step instead of one step per parameter
FUSED = None  # --fused: the fused Adam kernel in every variant (the driver picks it for p mode anyway)


def set_count(k):
    # Networks with K = 1 and K = 4 live side by side here, which the setter refuses (the
    # per-slot functions loop over the global count); the batched path reads each layer's own.
    GAR.pc._values["global_candidates"] = k


def adam(params):
    return torch.optim.Adam(params, lr=1e-3, foreach=FOREACH, fused=FUSED)


class Variant:
    """A network and optimizer with the global settings they need while stepping."""

    def __init__(self, build, mode, k):
        self.mode, self.k = mode, k
        self.enter()
        torch.manual_seed(0)
        self.net = build()
        if mode == "plain":
            self.opt = adam(self.net.parameters())
            return
        trainer = DendriteTrainer(self.net, adam)
        if mode == "p":
            trainer.start_p_phase()
        self.opt = trainer.optimizer

    def enter(self):
        set_count(self.k)
        GAR.arb_tracker.member_vars["mode"] = "p" if self.mode == "p" else "n"

    def step(self, x, y):
        self.opt.zero_grad()
        F.cross_entropy(self.net(x), y).backward()
        self.opt.step()


class HandWritten:
    """The same p step by hand: frozen network, errors kept by hooks, K candidates per layer
    stacked into one layer, one backward for all layers, moments and running averages."""

    def __init__(self, build, k, wrap=None, optimizer=None, act=torch.tanh):
        torch.manual_seed(0)
        self.net, self.k, self.act = build(), k, act
        for p in self.net.parameters():
            p.requires_grad_(False)
        self.layers = []
        for layer in [m for m in self.net.modules() if isinstance(m, (nn.Linear, nn.Conv2d))][:wrap]:
            if isinstance(layer, nn.Linear):
                cand = nn.Linear(layer.in_features, k * layer.out_features)
            else:
                cand = nn.Conv2d(layer.in_channels, k * layer.out_channels, layer.kernel_size,
                                 padding=layer.padding)
            c = layer.weight.shape[0]
            state = dict(cand=cand, c=c, avg_d=torch.zeros(k, c), corr=torch.randn(k, c) * 1e-3,
                         pearson=torch.zeros(k, c), avg_p=torch.zeros(c), npad=torch.zeros(c))
            layer.register_forward_hook(self._hook(state))
            self.layers.append(state)
        self.opt = (optimizer or adam)([p for s in self.layers for p in s["cand"].parameters()])

    def _hook(self, s):
        def hook(module, inputs, out):
            s["d"] = self.act(s["cand"](inputs[0].detach()))
            if not out.requires_grad:  # the frozen first layer
                out = out.detach().requires_grad_()
            out.register_hook(lambda g: s.__setitem__("p", g))
            return out
        return hook

    def enter(self):
        pass

    def step(self, x, y):
        self.opt.zero_grad()
        F.cross_entropy(self.net(x), y).backward()
        outs, grads = [], []
        with torch.no_grad():
            for s in self.layers:
                p, k, c = s["p"], self.k, s["c"]
                shape = [p.shape[0], k, c, -1]
                p3 = p.reshape(p.shape[0], 1, c, -1)
                sign = s["corr"].sign().view(1, k, c, 1)
                grads.append((-sign * (p3 - s["avg_p"].view(1, 1, c, 1))).reshape(s["d"].shape))
                outs.append(s["d"])
                d = s["d"].detach().reshape(shape)
                dims = (0, 3)
                mean_d, mean_p = d.mean(dims, keepdim=True), p3.mean(dims, keepdim=True)
                cd, cp = d - mean_d, p3 - mean_p
                cov = ((d - s["avg_d"].view(1, k, c, 1)) * (p3 - s["avg_p"].view(1, 1, c, 1))).mean(dims)
                std_d = cd.square().mean(dims).sqrt().clamp_min(1e-8)
                std_p = cp.square().mean(dims).sqrt().clamp_min(1e-8)
                pearson = (cd * cp).mean(dims) / (std_d * std_p)
                s["npad"].mul_(0.99).add_(mean_p.view(c), alpha=0.01)
                s["avg_d"].mul_(0.99).add_(mean_d.view(k, c), alpha=0.01)
                s["corr"].mul_(0.99).add_(cov / std_p, alpha=0.01)
                s["pearson"].mul_(0.99).add_(pearson, alpha=0.01)
        torch.autograd.backward(outs, grads)
        self.opt.step()


def rounds_of(variants, x, y, rounds, steps):
    """Median step time in ms of each variant (enter(), step(x, y)), in alternating rounds."""
    for v in variants.values():  # warm-up
        v.enter()
        for _ in range(3):
            v.step(x, y)
    per_round = {name: [] for name in variants}
    for _ in range(rounds):
        for name, v in variants.items():
            v.enter()
            times = []
            for _ in range(steps):
                t0 = time.perf_counter()
                v.step(x, y)
                times.append(time.perf_counter() - t0)
            per_round[name].append(statistics.median(times))
    return {name: statistics.median(t) * 1e3 for name, t in per_round.items()}


def time_network(key, rounds, steps):
    label, build, in_shape = NETS[key]
    torch.manual_seed(1)
    x, y = torch.randn(in_shape), torch.randint(0, 10, (in_shape[0],))
    variants = {
        "plain": Variant(build, "plain", 1),
        "n": Variant(build, "n", 1),
        "p K=1": Variant(build, "p", 1),
        "p K=4": Variant(build, "p", 4),
        "hand K=1": HandWritten(build, 1),
        "hand K=4": HandWritten(build, 4),
    }
    ms = rounds_of(variants, x, y, rounds, steps)
    GAR.pc.reset()
    GAR.arb_tracker.member_vars["mode"] = "n"
    return label, ms


def host_reads(key, k, steps=3):
    """Host reads per p step of the driver (aten::_local_scalar_dense and aten::is_nonzero)."""
    _, build, in_shape = NETS[key]
    x, y = torch.randn(in_shape), torch.randint(0, 10, (in_shape[0],))
    result = {}
    for mode in ("n", "p"):
        v = Variant(build, mode, k)
        for _ in range(2):
            v.step(x, y)
        with torch.profiler.profile(activities=[torch.profiler.ProfilerActivity.CPU]) as prof:
            for _ in range(steps):
                v.step(x, y)
        counts = {e.key: e.count for e in prof.key_averages()}
        reads = counts.get("aten::_local_scalar_dense", 0) + counts.get("aten::is_nonzero", 0)
        # Adam reads its step counter once per parameter with a gradient: not ours.
        own = sum(p.grad is not None for g in v.opt.param_groups for p in g["params"])
        result[mode] = (reads / steps, (reads / steps) - own, sum(counts.values()) / steps)
    GAR.pc.reset()
    GAR.arb_tracker.member_vars["mode"] = "n"
    return result


# ---- the statistics step on one layer -----------------------------------------------------

STAT_SHAPES = [[256, 4096], [64, 128, 16, 16]]


def plain_statistics_step(state, outs, error):
    """The candidate step's math as plain ATen ops: loss gradient, batch moments (Pearson,
    covariance on the running centres), running averages."""
    node, dims = 1, [d for d in range(error.dim()) if d != 1]
    view = [-1 if d == node else 1 for d in range(error.dim())]
    sign = state["corr"].sign().view(view)
    outs.backward(-sign * (error - state["avg_p"].view(view)))
    with torch.no_grad():
        d = outs.detach()
        mean_d, mean_p = d.mean(dims, keepdim=True), error.mean(dims, keepdim=True)
        cd, cp = d - mean_d, error - mean_p
        std_d = cd.square().mean(dims).sqrt().clamp_min(1e-8)
        std_p = cp.square().mean(dims).sqrt().clamp_min(1e-8)
        pearson = (cd * cp).mean(dims) / (std_d * std_p)
        cov = ((d - state["avg_d"].view(view)) * (error - state["avg_p"].view(view))).mean(dims) / std_p
        state["npad"].mul_(0.99).add_(mean_p.view(-1), alpha=0.01)
        state["avg_d"].mul_(0.99).add_(mean_d.view(-1), alpha=0.01)
        state["corr"].mul_(0.99).add_(cov, alpha=0.01)
        state["pearson"].mul_(0.99).add_(pearson, alpha=0.01)


def statistics_rounds(shape, rounds, steps):
    """Median step time of: the engine's batched step on one layer (K=1), the spec's
    per-record apply_ab_grads + apply_ab_zero, and plain_statistics_step."""
    set_count(1)
    GAR.pc.set_initial_correlation_batches(0)  # the regular rule: the steady state
    c = shape[1]
    view = [-1 if d == 1 else 1 for d in range(len(shape))]
    base = torch.randn(shape)
    scale = torch.nn.Parameter(torch.ones(c))
    dm = MAR.DendriteModule("bench", c, 1, [-1] * len(shape))
    dm.mode = "p"
    GAR.arb_tracker.member_vars["mode"] = "p"
    record = dm.dendrite_values[0]
    with torch.no_grad():
        record.prev_dendrite_candidate_correlation.normal_()
        record.parents_average_d_vector.normal_(0, 0.01)
    state = dict(corr=torch.randn(c), avg_p=torch.zeros(c), avg_d=torch.zeros(c),
                 npad=torch.zeros(c), pearson=torch.zeros(c))

    def per_record():
        record.dendrite_outs[0].append(torch.tanh(base * scale.view(view)))
        record.current_parent_d[0].append(torch.randn(shape) * 1e-3)
        record.device = 0
        t0 = time.perf_counter()
        DE.apply_ab_grads(dm)
        DE.apply_ab_zero(dm)
        return time.perf_counter() - t0

    def plain():
        outs, error = torch.tanh(base * scale.view(view)), torch.randn(shape) * 1e-3
        t0 = time.perf_counter()
        plain_statistics_step(state, outs, error)
        return time.perf_counter() - t0

    variants = {"per-record": per_record, "plain ops": plain}
    batched = getattr(DE, "candidate_step", None)
    if batched is not None:
        def fused():
            outs = torch.tanh(base * scale.view(view)).unsqueeze(1)  # [N, K=1, C, ...]
            dm.capture_error(torch.randn(shape) * 1e-3, dm.queue_candidate_output(outs))
            t0 = time.perf_counter()
            batched([dm])
            return time.perf_counter() - t0
        variants = {"batched": fused, **variants}
    per_round = {name: [] for name in variants}
    for _ in range(rounds):
        for name, fn in variants.items():
            times = []
            for _ in range(steps):
                times.append(fn())
                scale.grad = None
            per_round[name].append(statistics.median(times))
    GAR.pc.reset()
    return {name: statistics.median(t) * 1e3 for name, t in per_round.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--steps", type=int, default=10)
    parser.add_argument("--nets", default="mlp,big,cnn")
    parser.add_argument("--skip-stats", action="store_true")
    parser.add_argument("--foreach", action="store_true", help="multi-tensor Adam in every variant")
    parser.add_argument("--fused", action="store_true", help="fused Adam in every variant")
    args = parser.parse_args()
    global FOREACH, FUSED
    FOREACH = True if args.foreach else None
    FUSED = True if args.fused else None
    torch.set_num_threads(1)
    print(f"torch {torch.__version__}, {torch.get_num_threads()} thread, {args.rounds} rounds x "
          f"{args.steps} steps, times in ms (median of round medians)")
    cols = ["plain", "n", "p K=1", "p K=4", "hand K=1", "hand K=4"]
    print(f"{'network':<58}" + "".join(f"{c:>10}" for c in cols)
          + f"{'n/plain':>9}{'p1/hand1':>9}{'p4/hand4':>9}")
    for key in args.nets.split(","):
        label, ms = time_network(key, args.rounds, args.steps)
        print(f"{label:<58}" + "".join(f"{ms[c]:>10.2f}" for c in cols)
              + f"{ms['n'] / ms['plain']:>9.2f}{ms['p K=1'] / ms['hand K=1']:>9.2f}"
              f"{ms['p K=4'] / ms['hand K=4']:>9.2f}", flush=True)
    for k in (1, 4):
        r = host_reads("mlp", k)
        print(f"small MLP, K={k}: host reads per step (all / excluding Adam's one per parameter): "
              f"n mode {r['n'][0]:.0f} / {r['n'][1]:.0f} ({r['n'][2]:.0f} ops), "
              f"p mode {r['p'][0]:.0f} / {r['p'][1]:.0f} ({r['p'][2]:.0f} ops)", flush=True)
    if args.skip_stats:
        return
    for shape in STAT_SHAPES:
        ms = statistics_rounds(shape, args.rounds, args.steps)
        ref = ms["plain ops"]
        print(f"statistics step {shape}: " + ", ".join(
            f"{name} {t:.3f} ms ({ref / t:.2f}x plain ops)" for name, t in ms.items()), flush=True)


if __name__ == "__main__":
    main()
