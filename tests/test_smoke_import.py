import spanlet


def test_package_exposes_version():
    assert spanlet.__version__ == "0.2.0"
