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
