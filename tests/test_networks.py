"""Networks nobody here wrote, through the whole workflow with DendriteTrainer's defaults: n, p and
install twice; eval (with torch's transformer fast path on); save and load; export."""
import collections
import copy

import pytest
import torch
from torch import nn

import arborai.globals_arborai as GAR
import arborlib.net_toolkit as NT
from arborai.training import DendriteTrainer, neuron_modules, wrap_network
from arborlib.export import DendriteBlock, to_torch

pytestmark = pytest.mark.usefixtures("one_thread")


class ResidualCNN(nn.Module):
    def __init__(self):
        super().__init__()
        self.stem, self.bn1 = nn.Conv2d(3, 8, 3, padding=1), nn.BatchNorm2d(8)
        self.conv, self.bn2 = nn.Conv2d(8, 8, 3, padding=1), nn.BatchNorm2d(8)
        self.head = nn.Linear(8, 3)

    def forward(self, x):
        h = torch.relu(self.bn1(self.stem(x)))
        return self.head(torch.relu(h + self.bn2(self.conv(h))).mean((2, 3)))


class Decoder(nn.Sequential):
    def __init__(self):
        super().__init__(nn.TransformerDecoder(nn.TransformerDecoderLayer(16, 2, 32, 0.0, batch_first=True), 2),
                         nn.Linear(16, 3))

    def forward(self, x):
        return self[1](self[0](x, x))


class Encoder(nn.Sequential):  # padded batches: in eval, torch's encoder would make them nested tensors
    def __init__(self):
        layer = nn.TransformerEncoderLayer(16, 2, 32, dropout=0.0, batch_first=True)
        super().__init__(nn.TransformerEncoder(layer, 2), nn.Flatten(), nn.Linear(80, 3))

    def forward(self, x):
        padded = torch.zeros(x.shape[:2], dtype=torch.bool)
        padded[::2, -1] = True
        return self[2](self[1](self[0](x, src_key_padding_mask=padded)))


def hugging_face(kind):
    transformers = pytest.importorskip("transformers")
    quiet = dict(hidden_dropout_prob=0.0, attention_probs_dropout_prob=0.0, num_labels=3)
    if kind == "gpt2":
        return transformers.GPT2LMHeadModel(transformers.GPT2Config(
            vocab_size=50, n_positions=16, n_embd=16, n_layer=2, n_head=2, resid_pdrop=0.0, embd_pdrop=0.0,
            attn_pdrop=0.0, bos_token_id=0, eos_token_id=0))
    if kind == "bert":
        return transformers.BertForSequenceClassification(transformers.BertConfig(
            vocab_size=50, hidden_size=16, num_hidden_layers=2, num_attention_heads=2, intermediate_size=32,
            max_position_embeddings=16, **quiet))
    return transformers.ViTForImageClassification(transformers.ViTConfig(
        image_size=8, patch_size=4, hidden_size=16, num_hidden_layers=2, num_attention_heads=2,
        intermediate_size=32, **quiet))


# name: (network maker, input maker, wrapped layer types and counts)
NETWORKS = {
    "encoder": (Encoder, lambda: torch.randn(4, 5, 16), {"Linear": 5}),  # out_proj unwrapped
    "decoder": (Decoder, lambda: torch.randn(4, 5, 16), {"Linear": 5}),
    "gpt2": (lambda: hugging_face("gpt2"), lambda: torch.randint(0, 50, (2, 6)), {"Conv1D": 8, "Linear": 1}),
    "bert": (lambda: hugging_face("bert"), lambda: torch.randint(0, 50, (2, 6)), {"Linear": 14}),
    "vit": (lambda: hugging_face("vit"), lambda: torch.randn(2, 3, 8, 8), {"Linear": 13, "Conv2d": 1}),
    "residual_cnn": (ResidualCNN, lambda: torch.randn(4, 3, 6, 6), {"Conv2d": 2, "Linear": 1}),
}


def output(y):
    return y if torch.is_tensor(y) else y.logits


@torch.no_grad()
def forward_everywhere(net, x):
    """Eval output under no_grad, equal under inference_mode and with torch's fast path off."""
    out = output(net(x))
    with torch.inference_mode():
        torch.testing.assert_close(output(net(x)), out, rtol=1e-5, atol=1e-6)
    torch.backends.mha.set_fastpath_enabled(False)
    try:
        torch.testing.assert_close(output(net(x)), out, rtol=1e-5, atol=1e-6)
    finally:
        torch.backends.mha.set_fastpath_enabled(True)
    return out


@pytest.mark.parametrize("name", NETWORKS)
def test_network_goes_through_the_workflow(name, tmp_path):
    make, inputs, expected = NETWORKS[name]
    net, x = make(), inputs()
    GAR.pc.set_global_candidates(2)
    trainer = DendriteTrainer(net, lambda ps: torch.optim.SGD(ps, lr=0.01))
    assert collections.Counter(type(n.main_module).__name__ for n in trainer.neurons) == expected
    assert all(n.weight is n.main_module.weight for n in trainer.neurons)  # reads reach the wrapped layer
    for _ in range(2):
        for start in (None, trainer.start_p_phase):
            if start:
                start()
                assert all(not torch.equal(n.dendrite_module.candidate_module[0].weight, n.weight)
                           for n in trainer.neurons)  # candidates start afresh, a Conv1D's too
            for _ in range(2):
                trainer.optimizer.zero_grad()
                output(net(x)).pow(2).mean().backward()
                trainer.optimizer.step()
        trainer.start_n_phase()
    with torch.no_grad():  # every dendrite acts on the output, so a path that skips one shows
        for neuron in trainer.neurons:
            neuron.dendrites_to_top[-1].normal_(std=0.1)
            assert neuron.dendrite_module.num_dendrites == 2
    expected_out = forward_everywhere(net.eval(), x)

    NT.ab_save_net(net, str(tmp_path), "net")
    wrap_network(fresh := make())
    for neuron in neuron_modules(fresh):
        neuron.grow_dendrites(2)
    loaded = NT.load_net(NT.clean_net(fresh), str(tmp_path), "net_arb").eval()
    torch.testing.assert_close(forward_everywhere(loaded, x), expected_out, rtol=1e-5, atol=1e-6)
    for form in (net, loaded):
        exported = to_torch(form).eval()
        blocks = {path: b for path, b in exported.named_modules() if isinstance(b, DendriteBlock)}
        assert [path for path, b in blocks.items() if not b.fused] == (["lm_head"] if name == "gpt2" else [])
        for neuron in trainer.neurons:  # a fused block answers reads as the layer it stands for
            assert torch.equal(blocks[neuron.name].weight, neuron.weight)
        torch.testing.assert_close(forward_everywhere(exported, x), expected_out, rtol=1e-5, atol=1e-5)
        compiled = torch.compile(exported, fullgraph=True, backend="eager")  # stand-in reads trace too
        torch.testing.assert_close(output(compiled(x)), expected_out, rtol=1e-5, atol=1e-5)
        ties = len(list(exported.named_parameters(remove_duplicate=False))) - len(list(exported.parameters()))
        assert ties == (name == "gpt2")  # GPT-2's output layer keeps its tie to the embedding


def test_wrapping_is_all_or_nothing_and_says_what_it_wrapped(capsys):
    net = Encoder()
    with pytest.raises(TypeError, match=r"cannot wrap LayerNorm \(layer 0.layers.0.norm1\)"):
        DendriteTrainer(net, lambda ps: torch.optim.SGD(ps, lr=0.01), layer_types=(nn.Linear, nn.LayerNorm))
    assert not neuron_modules(net)
    GAR.pc.set_verbose(True)
    DendriteTrainer(net, lambda ps: torch.optim.SGD(ps, lr=0.01))
    printed = capsys.readouterr().out
    assert "wrapped 5 layers: 0.layers.0.linear1 (Linear), 0.layers.0.linear2 (Linear), 0.layers.1.linear1" in printed
    assert ("not wrapped: 0.layers.1.self_attn.out_proj (NonDynamicallyQuantizableLinear): its MultiheadAttention "
            "reads its weights and never calls it") in printed
    assert "not wrapped: 0.layers.0.norm2 (LayerNorm): LayerNorm is not a layer type to wrap" in printed


def test_a_wrapped_layer_never_called_is_reported_once():
    net, read = Encoder(), "0.layers.1.self_attn.out_proj"
    wrap_network(net, include=[read, "2"])
    assert not any(m._forward_hooks or m._forward_pre_hooks for m in NT.clean_net(copy.deepcopy(net)).modules()
                   if type(m).__name__ != "Sequential")  # copies drop the report: it pickles with arborai only
    with pytest.warns(UserWarning) as shown:
        net(torch.randn(2, 5, 16))
        net(torch.randn(2, 5, 16))
    assert [str(w.message) for w in shown if "not called" in str(w.message)] == [
        f"wrapped layers ['{read}'] were not called in the network's first forward pass, so their dendrites cannot "
        f"act (a parent reads their weights instead, or they are unused); leave them unwrapped with exclude=['{read}']"]
