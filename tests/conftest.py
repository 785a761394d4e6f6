import pytest
import torch

import arborai.globals_arborai as GAR


@pytest.fixture(autouse=True)
def fresh_settings():
    """Every test starts from the default settings, the tracker in n mode."""
    GAR.pc.reset()
    GAR.arb_tracker.member_vars["mode"] = "n"
    torch.manual_seed(0)
    yield
    GAR.pc.reset()
    GAR.arb_tracker.member_vars["mode"] = "n"


@pytest.fixture(scope="module")
def one_thread():
    """Tiny networks: on a busy machine, intra-op thread spin-waits dominate the arithmetic."""
    before = torch.get_num_threads()
    torch.set_num_threads(1)
    yield
    torch.set_num_threads(before)
