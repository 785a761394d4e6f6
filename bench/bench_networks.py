"""Training-step time of networks that people train, wrapped with DendriteTrainer's defaults,
against the same network unwrapped: n mode with 0 dendrites, p mode, and n mode with 2
dendrites; and the parameter growth of 2 dendrites.

    .venv/bin/python bench/bench_networks.py [--rounds 15] [--steps 5] [--threads 1] [--only encoder gpt2]

Architectures: nn.TransformerEncoder and nn.TransformerDecoder classifiers, GPT-2, BERT and ViT
from small `transformers` configurations (skipped without transformers), and a residual CNN with
BatchNorm. Every variant is timed in one process, in alternating rounds (one SGD step: forward,
squared-output loss, backward, step); the table shows the median step time of each variant over
the plain step's, with a second copy of the plain network as a control of the noise. When a
network cannot be wrapped with the defaults, the layers that the failure names are excluded and
the row says so. Results also go to bench/results/networks.json.
Target: n mode with 0 dendrites within 10% of plain on each.
"""
import argparse
import copy
import json
import os
import statistics
import time

import torch
from torch import nn

import arborai.globals_arborai as GAR
from arborai.training import DendriteTrainer


class ResidualCNN(nn.Module):
    def __init__(self, width=16):
        super().__init__()
        self.stem, self.bn1 = nn.Conv2d(3, width, 3, padding=1), nn.BatchNorm2d(width)
        self.conv, self.bn2 = nn.Conv2d(width, width, 3, padding=1), nn.BatchNorm2d(width)
        self.head = nn.Linear(width, 10)

    def forward(self, x):
        h = torch.relu(self.bn1(self.stem(x)))
        return self.head(torch.relu(h + self.bn2(self.conv(h))).mean((2, 3)))


class Decoder(nn.Module):
    def __init__(self, width=64):
        super().__init__()
        layer = nn.TransformerDecoderLayer(width, 4, 2 * width, dropout=0.0, batch_first=True)
        self.decoder = nn.TransformerDecoder(layer, 2)
        self.head = nn.Linear(width, 10)

    def forward(self, x):
        return self.head(self.decoder(x, x)[:, 0])


def encoder(width=64):
    layer = nn.TransformerEncoderLayer(width, 4, 2 * width, dropout=0.0, batch_first=True)
    return nn.Sequential(nn.TransformerEncoder(layer, 2, enable_nested_tensor=False), nn.Flatten(),
                         nn.Linear(32 * width, 10))


def hugging_face(kind, width=64):
    import transformers as T

    quiet = dict(hidden_dropout_prob=0.0, attention_probs_dropout_prob=0.0, num_labels=10)
    if kind == "gpt2":
        return T.GPT2LMHeadModel(T.GPT2Config(vocab_size=500, n_positions=64, n_embd=width, n_layer=2, n_head=4,
                                              resid_pdrop=0.0, embd_pdrop=0.0, attn_pdrop=0.0, bos_token_id=0,
                                              eos_token_id=0))
    if kind == "bert":
        return T.BertForSequenceClassification(T.BertConfig(
            vocab_size=500, hidden_size=width, num_hidden_layers=2, num_attention_heads=4,
            intermediate_size=2 * width, max_position_embeddings=64, **quiet))
    return T.ViTForImageClassification(T.ViTConfig(
        image_size=32, patch_size=4, hidden_size=width, num_hidden_layers=2, num_attention_heads=4,
        intermediate_size=2 * width, **quiet))


ARCHITECTURES = {
    "encoder": (encoder, lambda: torch.randn(16, 32, 64)),
    "decoder": (Decoder, lambda: torch.randn(16, 32, 64)),
    "gpt2": (lambda: hugging_face("gpt2"), lambda: torch.randint(0, 500, (8, 32))),
    "bert": (lambda: hugging_face("bert"), lambda: torch.randint(0, 500, (8, 32))),
    "vit": (lambda: hugging_face("vit"), lambda: torch.randn(8, 3, 32, 32)),
    "residual_cnn": (ResidualCNN, lambda: torch.randn(32, 3, 16, 16)),
}


def output(y):
    return y if torch.is_tensor(y) else y.logits


def factory(params):
    return torch.optim.SGD(params, lr=1e-4)


# Layers that a parent reads without calling them, which code without stand-ins fails on.
READ_ONLY = ("out_proj", "patch_embeddings.projection")


def trainer_for(net, x, exclude):
    """A DendriteTrainer on a copy of `net`; when the wrapped network's first pass fails on an
    attribute read, the wrapped layers that are known to be read are excluded and the wrap retried."""
    while True:
        copied = copy.deepcopy(net)
        trainer = DendriteTrainer(copied, factory, exclude=exclude)
        try:
            output(copied(x)).sum().backward()
            return copied, trainer, exclude
        except AttributeError:
            new = [n.name for n in trainer.neurons if n.name.endswith(READ_ONLY)]
            if not new:
                raise
            exclude = exclude + new


def variants(make, inputs):
    torch.manual_seed(0)
    plain, x = make(), inputs()
    n0, t0, excluded = trainer_for(plain, x, [])
    p, tp, _ = trainer_for(plain, x, excluded)
    tp.start_p_phase()
    n2, t2, _ = trainer_for(plain, x, excluded)
    for _ in range(2):
        t2.start_p_phase()
        t2.start_n_phase()
    control = copy.deepcopy(plain)  # a second plain copy: the noise floor of one process
    steps = {
        "plain": (plain, lambda: factory(plain.parameters())),
        "plain copy": (control, lambda: factory(control.parameters())),
        "n, 0 dendrites": (n0, lambda: t0.optimizer),
        "p": (p, lambda: tp.optimizer),
        "n, 2 dendrites": (n2, lambda: t2.optimizer),
    }
    return steps, x, excluded, len(t0.neurons)


def timed(net, optimizer, x, steps):
    start = time.perf_counter()
    for _ in range(steps):
        optimizer.zero_grad()
        output(net(x)).pow(2).mean().backward()
        optimizer.step()
    return (time.perf_counter() - start) / steps


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--steps", type=int, default=5)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--only", nargs="+", default=list(ARCHITECTURES))
    parser.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "results", "networks.json"))
    args = parser.parse_args()
    torch.set_num_threads(args.threads)
    GAR.pc.set_global_candidates(2)
    results = {}
    print(f"{'network':<14}{'wrapped':>8}{'copy/plain':>11}{'n0/plain':>10}{'p/plain':>9}{'n2/plain':>10}"
          f"{'params n2/plain':>17}  notes")
    for name in args.only:
        make, inputs = ARCHITECTURES[name]
        try:
            steps, x, excluded, wrapped = variants(make, inputs)
        except ImportError as error:
            print(f"{name:<14} skipped: {error}")
            continue
        except Exception as error:  # a network that does not train at all on this code
            print(f"{name:<14} fails: {type(error).__name__}: {str(error)[:100]}")
            results[name] = {"fails": f"{type(error).__name__}: {error}"}
            continue
        optimizers = {label: opt() for label, (_, opt) in steps.items()}
        for label, (net, _) in steps.items():  # warm-up
            timed(net, optimizers[label], x, 2)
        times = {label: [] for label in steps}
        for _ in range(args.rounds):
            for label, (net, _) in steps.items():
                times[label].append(timed(net, optimizers[label], x, args.steps))
        median = {label: statistics.median(t) for label, t in times.items()}
        ratio = {label: median[label] / median["plain"] for label in steps}
        count = lambda net: sum(p.numel() for p in net.parameters())  # noqa: E731
        growth = count(steps["n, 2 dendrites"][0]) / count(steps["plain"][0])
        note = f"excluded {excluded}" if excluded else ""
        print(f"{name:<14}{wrapped:>8}{ratio['plain copy']:>11.3f}{ratio['n, 0 dendrites']:>10.3f}"
              f"{ratio['p']:>9.3f}{ratio['n, 2 dendrites']:>10.3f}{growth:>17.3f}  {note}")
        results[name] = {"wrapped": wrapped, "excluded": excluded, "median_s": median, "ratio": ratio,
                         "params_growth": growth}
    os.makedirs(os.path.dirname(args.out), exist_ok=True)
    with open(args.out, "w") as f:
        json.dump({"threads": args.threads, "rounds": args.rounds, "steps": args.steps, "results": results}, f,
                  indent=2)


if __name__ == "__main__":
    main()
