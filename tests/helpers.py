"""Small helpers shared by the serialization tests."""

import vantrel


def h(text):
    """Bytes from hex text; blanks are ignored."""
    return bytes.fromhex(text.replace(" ", ""))


def plain(value):
    """Instances (recursively) as dicts, for comparisons."""
    if isinstance(value, vantrel.ThriftStructInstance):
        return {k: plain(v) for k, v in value.to_dict().items()}
    if isinstance(value, list):
        return [plain(v) for v in value]
    if isinstance(value, dict):
        return {plain(k): plain(v) for k, v in value.items()}
    return value
