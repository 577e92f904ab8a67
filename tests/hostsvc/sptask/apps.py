from django.apps import AppConfig


class Config(AppConfig):
    name = "hostsvc.sptask"
    label = "sptask"
