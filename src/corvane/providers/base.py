"""The provider framework: the base class and the records adapters build and read."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Callable, Mapping


@dataclass(frozen=True)
class ProviderProfile:
    checkpoint_dir: str
    scheduler: str
    remote_mode: str
    ssh_user: str
    notes: str = ""


@dataclass(frozen=True)
class ProvisionSpec:
    """What to rent: GPU model and count, image, environment, key, disk, region."""

    gpu_type: str
    gpu_count: int = 1
    image: str = "pytorch/pytorch:latest"
    env: tuple[tuple[str, str], ...] = ()
    ssh_public_key: str | None = None
    container_disk_gb: float = 50
    volume_gb: float | None = None
    region: str | None = None
    provider_hints: tuple[tuple[str, Any], ...] = ()
    name: str | None = None
    registry_auth: Any = None
    storage_mount: Any = None
    images: Mapping[str, str] = field(default_factory=dict)

    def image_for(self, provider: str) -> str:
        """The image to run on `provider`: a provider-specific one when given."""
        return self.images.get(provider, self.image)


@dataclass
class ProvisionResult:
    provider: str
    instance_id: str
    status: str
    # Adapters add keys after construction; the very map passed in is kept.
    raw: dict = field(default_factory=dict)


@dataclass
class InstanceRef:
    provider: str
    instance_id: str
    name: str
    gpu_type: str
    gpu_count: int
    status: str
    ssh_host: str
    ssh_port: int
    ssh_user: str
    region: str
    raw: dict = field(default_factory=dict)


class Provider:
    """Base of every provider adapter; subclasses set `name` and implement the calls."""

    name: str = "base"
    requires_credentials: bool = False

    def default_profile(self) -> ProviderProfile:
        return ProviderProfile(checkpoint_dir="/workspace/checkpoints", scheduler="none",
                               remote_mode="ssh", ssh_user="root", notes="")

    def detect(self) -> bool:
        return False

    def has_api(self) -> bool:
        return False

    def supports_provisioning(self) -> bool:
        return False

    def list_instances(self, api_key: str) -> list[InstanceRef]:
        raise NotImplementedError(f"{self.name} cannot list instances")

    def provision(self, spec: ProvisionSpec, *, api_key: str) -> ProvisionResult:
        raise NotImplementedError(f"{self.name} cannot provision")

    def provision_candidates(self, spec: ProvisionSpec, *, api_key: str, count: int,
                             stagger_seconds: float = 2.0,
                             on_launch: Callable[[ProvisionResult], None] | None = None
                             ) -> list[ProvisionResult]:
        raise NotImplementedError(f"{self.name} cannot provision")

    def get_instance(self, instance_id: str, *, api_key: str) -> InstanceRef:
        raise NotImplementedError(f"{self.name} cannot read instances")

    def terminate(self, instance_id: str, *, api_key: str) -> None:
        raise NotImplementedError(f"{self.name} cannot terminate instances")
