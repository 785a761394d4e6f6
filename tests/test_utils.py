import pytest
import torch
from safetensors import safe_open

import arborai.utils_arborai as UAR


def test_string_to_tensor_round_trip():
    t = UAR.string_to_tensor("ARB")
    assert t.tolist() == [65, 82, 66]
    assert UAR.tensor_to_string(t) == "ARB"


class Tied(torch.nn.Module):
    def __init__(self):
        super().__init__()
        self.emb = torch.nn.Embedding(5, 4)
        self.out = torch.nn.Linear(4, 5, bias=False)
        self.out.weight = self.emb.weight  # tied
        self.other = torch.nn.Linear(4, 4)


def test_weight_tying_round_trip(tmp_path):
    src, dst = Tied(), Tied()
    path = str(tmp_path / "m.pt")
    UAR.save_model_with_weight_tying(src, path)
    with safe_open(path, framework="pt") as f:
        assert "weight_tying" in f.metadata()
        assert len(list(f.keys())) == 3  # the tied weight is stored once
    out = UAR.load_model_with_weight_tying(dst, path)
    assert out is dst
    for k, v in src.state_dict().items():
        torch.testing.assert_close(dst.state_dict()[k], v)
    assert dst.out.weight is dst.emb.weight


def test_weight_tying_load_of_plain_file_is_clear_error(tmp_path):
    from safetensors.torch import save_file

    path = str(tmp_path / "plain.pt")
    save_file({"a": torch.zeros(1)}, path)
    with pytest.raises(ValueError, match="plain.pt"):
        UAR.load_model_with_weight_tying(Tied(), path)


def test_deep_copy_is_independent():
    src = Tied()
    cp = UAR.deep_copy_arb(src)
    with torch.no_grad():
        cp.other.weight.add_(1)
    assert not torch.equal(cp.other.weight, src.other.weight)
    assert UAR.load_net_from_dict(cp, src.state_dict()) is cp
    assert torch.equal(cp.other.weight, src.other.weight)


class Views(torch.nn.Module):
    def __init__(self, a, b):
        super().__init__()
        self.register_buffer("a", a)
        self.register_buffer("b", b)


# Views of one storage that differ only in offset, or only in strides, are different tensors.
@pytest.mark.parametrize("pick", [lambda t: (t[0], t[1]), lambda t: (t, t.t())], ids=["offsets", "strides"])
def test_weight_tying_keeps_other_views_of_a_storage_apart(pick, tmp_path):
    src = Views(*pick(torch.arange(9.0).view(3, 3)))
    dst = Views(*(torch.zeros_like(t).contiguous() for t in (src.a, src.b)))
    UAR.save_model_with_weight_tying(src, str(tmp_path / "m.pt"))
    UAR.load_model_with_weight_tying(dst, str(tmp_path / "m.pt"))
    assert torch.equal(dst.a, src.a) and torch.equal(dst.b, src.b)
