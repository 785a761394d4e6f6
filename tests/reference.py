"""Slow, literal float64 formulations of the correlation statistics, used as test oracles.

One step per line on clones, so a shortcut taken by the engine (shared moments, shifted
centres) cannot hide behind the same shortcut here.
"""
import torch

FACTOR = 0.99


def dims(t, node):
    """(math_tuple, view_tuple, full_mult) for the neuron dimension `node` of `t`."""
    math_tuple = [i for i in range(t.dim()) if i != node]
    view_tuple = [-1 if i == node else 1 for i in range(t.dim())]
    full_mult = 1
    for i in math_tuple:
        full_mult *= t.shape[i]
    return math_tuple, view_tuple, full_mult


def current_covariance(D, P, math_tuple, view_tuple, *, by_mean, normalized, average_d=None, average_p=None):
    """(covariance, batch Pearson). Centres on the given running averages when both are given."""
    func = torch.mean if by_mean else torch.sum
    d = D.detach().clone().double()
    p = P.detach().clone().double()
    if average_d is not None:
        avg_d, avg_p = average_d.double(), average_p.double()
    else:
        avg_d, avg_p = d.mean(math_tuple), p.mean(math_tuple)
    centered_d = d - avg_d.view(view_tuple)
    centered_p = p - avg_p.view(view_tuple)
    covariance = func(centered_d * centered_p, dim=math_tuple)
    std_p = torch.std(p, dim=math_tuple, correction=0).clamp(min=1e-8)
    std_d = torch.std(d, dim=math_tuple, correction=0).clamp(min=1e-8)
    batch_mean_d = d.mean(math_tuple, keepdim=True)
    batch_mean_p = p.mean(math_tuple, keepdim=True)
    pearson_num = ((d - batch_mean_d) * (p - batch_mean_p)).mean(math_tuple)
    pearson = pearson_num / (std_p * std_d)
    if normalized:
        covariance = covariance / std_p
    return covariance, pearson


def covariance_loss(current_cov, error, average_error, output):
    return (-output * torch.sign(current_cov)) * (error - average_error)


def normal_pass_average_d(average, P, math_tuple, full_mult):
    return average.double() * 0.99 + P.double().sum(math_tuple) * 0.01 / full_mult


STAT_NAMES = [
    "prev_dendrite_candidate_average", "prev_dendrite_candidate_correlation", "prev_dendrite_candidate_pearson",
    "best_score", "previous_best_score", "best_pearson_correlation", "running_scalar", "initialized",
    "normal_pass_average_d", "parents_average_d_vector",
]


def snapshot(record):
    return {name: getattr(record, name).detach().clone().double() for name in STAT_NAMES}


def initial_rule(state, mean_d, covariance, pearson):
    s = dict(state)
    n = s["initialized"]
    s["prev_dendrite_candidate_average"] = (s["prev_dendrite_candidate_average"] * n + mean_d) / (n + 1.0)
    s["prev_dendrite_candidate_correlation"] = (s["prev_dendrite_candidate_correlation"] * n + covariance) / (n + 1.0)
    s["prev_dendrite_candidate_pearson"] = (s["prev_dendrite_candidate_pearson"] * n + pearson) / (n + 1.0)
    for name in ("best_score", "previous_best_score", "best_pearson_correlation"):
        s[name] = s[name] * 0
    s["running_scalar"] = torch.ones_like(s["running_scalar"])
    s["initialized"] = n + 1.0
    return s


def regular_rule(state, mean_d, covariance, pearson):
    s = dict(state)
    rest = 1 - FACTOR
    s["prev_dendrite_candidate_average"] = FACTOR * s["prev_dendrite_candidate_average"] + mean_d * rest
    s["prev_dendrite_candidate_correlation"] = FACTOR * s["prev_dendrite_candidate_correlation"] + covariance * rest
    s["prev_dendrite_candidate_pearson"] = FACTOR * s["prev_dendrite_candidate_pearson"] + pearson * rest
    return s


def running_averages(state, D, P, covariance, pearson, math_tuple, full_mult, *, initial_batches, live):
    """The record state after one update_running_averages call, from a snapshot()."""
    s = dict(state)
    s["normal_pass_average_d"] = normal_pass_average_d(s["normal_pass_average_d"], P, math_tuple, full_mult)
    if live:
        s["parents_average_d_vector"] = s["normal_pass_average_d"].clone()
    mean_d = D.detach().double().mean(math_tuple)
    rule = initial_rule if s["initialized"].item() < initial_batches else regular_rule
    return rule(s, mean_d, covariance.double(), pearson.double())


def candidate_step(state, D, P, node, *, by_mean, normalized, running, initial_batches, live):
    """(candidate gradient, state after one step, batch Pearson) of one candidate step, in float64."""
    math_tuple, view_tuple, full_mult = dims(P, node)
    centres = {}
    if running:
        centres = dict(average_d=state["prev_dendrite_candidate_average"], average_p=state["parents_average_d_vector"])
    cov, pearson = current_covariance(D, P, math_tuple, view_tuple, by_mean=by_mean, normalized=normalized, **centres)
    if running:
        sign, centre = torch.sign(state["prev_dendrite_candidate_correlation"]), state["parents_average_d_vector"]
    else:
        sign, centre = torch.sign(cov), P.double().mean(math_tuple)
    grad = -sign.view(view_tuple) * (P.double() - centre.view(view_tuple))
    after = running_averages(state, D, P, cov, pearson, math_tuple, full_mult, initial_batches=initial_batches, live=live)
    return grad, after, pearson
