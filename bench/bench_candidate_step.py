"""Times one p-mode candidate cycle (apply_ab_grads + apply_ab_zero) against the same
math written as plain PyTorch operations in Python.

    .venv/bin/python bench/bench_candidate_step.py [--repeats 30] [--threads N]

Each iteration queues a fresh candidate output (with its graph) and a neuron error; only
the cycle itself is timed. Prints the median time per cycle and the ratio.
"""
import argparse
import statistics
import time

import torch

import arborai.globals_arborai as GAR
import arborai.modules_arborai as MAR
import arborlib.dendrite_engine as DE

SHAPES = [[256, 512], [64, 128, 16, 16]]


def python_cycle(record, outs, error, node_index):
    """The candidate step and the queue clearing, as plain PyTorch in Python."""
    math_tuple = [d for d in range(error.dim()) if d != node_index]
    view = [-1 if d == node_index else 1 for d in range(error.dim())]
    full_mult = 1
    for d in math_tuple:
        full_mult *= error.shape[d]
    parent_d = error.detach().clone()
    # loss (running averages on)
    cov_sign = record.prev_dendrite_candidate_correlation.view(view)
    average = record.parents_average_d_vector.view(view)
    loss = (-outs * torch.sign(cov_sign)) * (parent_d - average)
    loss.sum().backward()
    with torch.no_grad():
        d_clean = outs.detach().clone()
        p_clean = parent_d.detach().clone()
        centered_d = d_clean - record.prev_dendrite_candidate_average.view(view)
        centered_p = p_clean - record.parents_average_d_vector.view(view)
        cov = (centered_d * centered_p).mean(math_tuple)
        std_p = p_clean.std(math_tuple, correction=0).clamp(min=1e-8)
        std_d = d_clean.std(math_tuple, correction=0).clamp(min=1e-8)
        mean_d = d_clean.mean(math_tuple, keepdim=True)
        mean_p = p_clean.mean(math_tuple, keepdim=True)
        num = ((d_clean - mean_d) * (p_clean - mean_p)).mean(math_tuple)
        record.current_batch_pearson = (num / (std_p * std_d)).detach().clone()
        cov = (cov / std_p).detach().clone()
        if torch.isnan(cov).any() or torch.isinf(cov).any():
            raise AssertionError("non-finite covariance")
        npad = record.normal_pass_average_d
        npad.copy_(npad * 0.99 + parent_d.detach().sum(math_tuple) * 0.01 / full_mult)
        avg = record.prev_dendrite_candidate_average
        avg.copy_(0.99 * avg.detach() + outs.detach().clone().mean(math_tuple) * (1 - 0.99))
        corr = record.prev_dendrite_candidate_correlation
        corr.data = (0.99 * corr.detach() + cov * (1 - 0.99)).clone()
        pear = record.prev_dendrite_candidate_pearson
        pear.data = (0.99 * pear.detach() + record.current_batch_pearson * (1 - 0.99)).clone()
    record.current_parent_d[0].pop(0)
    record.dendrite_outs[0].pop(0)
    record.current_parent_d[0].clear()
    record.dendrite_outs[0].clear()


def run(shape, repeats, fused):
    node_index = 1
    GAR.pc.set_global_candidates(1)
    GAR.pc.set_initial_correlation_batches(0)  # time the regular rule, the steady state
    record = MAR.ValueRecord(shape[node_index], "bench", node_index, [-1] * len(shape))
    holder = torch.nn.Module()
    holder.dendrite_values = torch.nn.ModuleList([record])
    scale = torch.nn.Parameter(torch.ones(shape[node_index]))
    view = [-1 if d == node_index else 1 for d in range(len(shape))]
    base = torch.randn(shape)
    with torch.no_grad():
        record.prev_dendrite_candidate_correlation.normal_()
        record.parents_average_d_vector.normal_(0, 0.01)
    times = []
    for i in range(repeats + 3):
        outs = torch.tanh(base * scale.view(view))
        error = torch.randn(shape) * 1e-3
        record.dendrite_outs[0].append(outs)
        record.current_parent_d[0].append(error)
        record.device = 0
        start = time.perf_counter()
        if fused:
            DE.apply_ab_grads(holder)
            DE.apply_ab_zero(holder)
        else:
            python_cycle(record, outs, error, node_index)
        elapsed = time.perf_counter() - start
        if i >= 3:  # warm-up
            times.append(elapsed)
        scale.grad = None
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=30)
    parser.add_argument("--threads", type=int, default=0, help="torch threads (0: leave as is)")
    args = parser.parse_args()
    if args.threads:
        torch.set_num_threads(args.threads)
    print(f"torch {torch.__version__}, {torch.get_num_threads()} threads, median of {args.repeats}")
    print(f"{'shape':<20}{'arborlib (ms)':>15}{'python (ms)':>15}{'speed-up':>10}")
    for shape in SHAPES:
        fused = run(shape, args.repeats, True)
        plain = run(shape, args.repeats, False)
        print(f"{str(shape):<20}{fused * 1e3:>15.3f}{plain * 1e3:>15.3f}{plain / fused:>9.2f}x")


if __name__ == "__main__":
    main()
