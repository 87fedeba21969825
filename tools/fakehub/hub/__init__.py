"""The fake hub's parts, one module per concern; fakehub.py starts them."""
