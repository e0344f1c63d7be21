"""Fixtures for the map module: the module, a spy on its pyplot, and parcels built from rings."""
from __future__ import annotations

import matplotlib
import pytest


@pytest.fixture(scope="session")
def plots():
    import ravn.plots as module

    return module


class PyplotSpy:
    """pyplot with a memory: the figures a call created stay readable after it closes them."""

    def __init__(self, real):
        self._real = real
        self.figures = []
        self.closed = []

    def __getattr__(self, name):
        return getattr(self._real, name)

    def figure(self, *args, **kwargs):
        fig = self._real.figure(*args, **kwargs)
        self.figures.append(fig)
        return fig

    def close(self, fig):
        self.closed.append(fig)
        return self._real.close(fig)


class Recorder:
    def __init__(self):
        self.messages = []

    def info(self, message):
        self.messages.append(message)


@pytest.fixture
def spy(plots, monkeypatch):
    spy = PyplotSpy(plots.plt)
    monkeypatch.setattr(plots, "plt", spy)
    return spy


@pytest.fixture
def log(plots, monkeypatch):
    recorder = Recorder()
    monkeypatch.setattr(plots, "logger", recorder)
    return recorder


@pytest.fixture
def at_scale(plots, monkeypatch):
    """Fixes the scale the map is drawn at."""

    def fix(scale):
        monkeypatch.setattr(plots, "get_recommended_scale", lambda *args: scale)

    return fix


@pytest.fixture(autouse=True)
def no_figure_left(plots):
    yield
    assert matplotlib.pyplot.get_fignums() == [], "a figure outlived its map"


@pytest.fixture
def axes():
    """A real axes as the map sets it up: 190 x 160 mm at 1:1000, origin at the lower left."""
    fig = matplotlib.pyplot.figure(figsize=(190 / 25.4, 160 / 25.4), dpi=300)
    ax = fig.add_axes([0, 0, 1, 1])
    ax.set_aspect("equal")
    ax.set_xlim((0.0, 190.0))
    ax.set_ylim((0.0, 160.0))
    yield ax
    matplotlib.pyplot.close(fig)
