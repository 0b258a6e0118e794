"""Probing the node a job runs on."""
