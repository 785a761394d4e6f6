"""Inference time of one MLP with 3 dendrites per wrapped layer in four forms: the training
network in eval mode, the cleaned form (clean_net), and the plain-PyTorch export (to_torch),
eager and compiled with torch.compile.

    .venv/bin/python bench/bench_inference.py [--rounds 15] [--threads 1] [--hidden 256] [--batches 256 4096]

All forms are timed in one process, in alternating rounds; the table shows each form's median
time per forward and its ratio to the cleaned form. Results also go to
bench/results/inference.json. The export is expected to be at least as fast as the cleaned form.
"""
import argparse
import json
import os
import statistics
import time

import torch
from torch import nn

import arborai.globals_arborai as GAR
import arborlib.net_toolkit as NT
from arborai.training import neuron_modules, wrap_network
from arborlib.export import to_torch

DENDRITES = 3


def network(widths):
    torch.manual_seed(0)
    layers = []
    for a, b in zip(widths[:-1], widths[1:]):
        layers += [nn.Linear(a, b), nn.ReLU()]
    net = nn.Sequential(*layers[:-1])
    GAR.pc.set_global_candidates(1)
    wrap_network(net)
    with torch.no_grad():
        for neuron in neuron_modules(net):
            neuron.grow_dendrites(DENDRITES)
            # Installed weights start at zero; random ones make every cascade path count.
            neuron.dendrites_to_top[-1].normal_(0, 0.1)
            for p in neuron.dendrite_module.dendrites_to_dendrites[1:]:
                p.normal_(0, 0.1)
    return net.eval()


def per_call(fn, x, calls):
    start = time.perf_counter()
    for _ in range(calls):
        fn(x)
    return (time.perf_counter() - start) / calls


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--hidden", type=int, default=256)
    parser.add_argument("--batches", type=int, nargs="+", default=[256, 4096])
    args = parser.parse_args()
    torch.set_num_threads(args.threads)
    widths = (64, args.hidden, args.hidden, 10)
    net = network(widths)
    cleaned = NT.clean_net(net)
    exported = to_torch(net)
    forms = {
        "training (eval)": net,
        "cleaned": cleaned,
        "to_torch eager": exported,
        "to_torch compiled": torch.compile(exported),
    }
    print(f"MLP {'-'.join(map(str, widths))}, {DENDRITES} dendrites per layer, {args.rounds} rounds, "
          f"{torch.get_num_threads()} thread(s), torch {torch.__version__}")
    print(f"{'batch':>6}  {'form':<20}{'median (us)':>14}{'vs cleaned':>12}")
    results = []
    with torch.inference_mode():
        for batch in args.batches:
            x = torch.randn(batch, widths[0])
            reference = net(x)
            for name, form in forms.items():  # also warms up (and compiles)
                torch.testing.assert_close(form(x), reference, rtol=1e-5, atol=1e-5, msg=name)
            calls = max(3, 20_000 // batch)
            times = {name: [] for name in forms}
            for _ in range(args.rounds):
                for name, form in forms.items():
                    times[name].append(per_call(form, x, calls))
            base = statistics.median(times["cleaned"])
            for name in forms:
                t = statistics.median(times[name])
                print(f"{batch:>6}  {name:<20}{t * 1e6:>14.1f}{t / base:>12.2f}")
                results.append({"batch": batch, "form": name, "median_s": t, "ratio_to_cleaned": t / base})
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results")
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "inference.json"), "w") as f:
        json.dump({"widths": widths, "threads": args.threads, "torch": torch.__version__, "results": results}, f,
                  indent=1)


if __name__ == "__main__":
    main()
